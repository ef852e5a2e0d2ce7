#pragma once
// The text window that shows a viewed entry (`Form2`), with its one text box `Text1`. The text box follows
// the window's size; a double-click in it toggles the window between normal and maximised.

#include <QByteArray>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

class Form2 : public QWidget
{
    Q_OBJECT
public:
    explicit Form2(QWidget* parent = nullptr);

    QPlainTextEdit* Text1 = nullptr;

    void Form_Resize();
    void Text1_DblClick();

    // The text shown for a file's bytes: each LF a line break, every CR dropped; valid UTF-8 as UTF-8,
    // anything else as code page 437, whose control-character glyphs stand in for the other control bytes.
    // `cutShort`: the bytes are the start of a longer file, so a character may be cut at their end.
    static QString convertText(QByteArray bytes, bool cutShort = false);
    // One byte as code page 437 shows it.
    static QChar cp437(uchar byte);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool m_placed = false;
};
