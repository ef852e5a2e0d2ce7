#pragma once
// The sorted list box with extended selection (`List1`): every line added takes its place in alphabetical
// order ignoring letter case, as the platform's sorted list box orders them. A line is shown as ShownName.h
// shows names; List(i) reads what is shown, Line(i) the line as it was added, for the steps that act on it.
//
// Lines added in a burst (a listing of thousands of entries) are held back and merged in one sorted pass
// when the list is next read or the event loop runs, so filling it stays O(n log n) instead of a quadratic run of
// single inserts.

#include <QListWidget>
#include <QStringList>

class ListBox : public QListWidget
{
    Q_OBJECT
public:
    explicit ListBox(QWidget* parent = nullptr);

    void AddItem(const QString& text);
    void RemoveItem(int index);
    void Clear();
    int ListCount() const;
    QString List(int index) const; // "" outside the list, as the platform's list box reads
    QString Line(int index) const; // the line as added (a carried name stays carried); "" outside the list
    bool Selected(int index) const;
    void setSelected(int index, bool selected);
    int ListIndex() const;

    // Ordering used for the lines: case-insensitive, then by the exact text so the order is stable.
    static bool lessThan(const QString& a, const QString& b);

signals:
    void DblClick();

private:
    void flush() const;
    void fill(const QStringList& lines);
    mutable QStringList m_pending;
};
