#pragma once
// One piece of archive work of the window, held for the life of this object: a listing, a view, a
// deletion, Add or a clean-all run. The zip component lets window events run inside its calls, so a click,
// key or double-click can start another handler in the middle of one; while this is held, that handler's
// work is refused with a word on SSPanel2 (a listing waits instead), and the running handler keeps its
// archive, List1 and the component to itself.

#include "app/Form1.h"

class ArchiveWork
{
public:
    // `what` names the work ("listing a.zip"); `asked` names the command for the refusal ("Delete").
    ArchiveWork(Form1& form, const QString& what, const QString& asked)
        : m_form(form), m_held(form.beginArchiveWork(what, asked)), m_refused(!m_held)
    {
    }
    ~ArchiveWork() { release(); }
    ArchiveWork(const ArchiveWork&) = delete;
    ArchiveWork& operator=(const ArchiveWork&) = delete;

    bool refused() const { return m_refused; }
    // Ends the work before the object goes, for a handler that lists at its end (the listing is work too).
    void release()
    {
        if (m_held) {
            m_held = false;
            m_form.endArchiveWork();
        }
    }

private:
    Form1& m_form;
    bool m_held;
    bool m_refused;
};
