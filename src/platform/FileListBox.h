#pragma once
// The file list (`File1`): the ordinary files of one folder that match a pattern, one selected at a time.
// Selecting an entry, by the user or from code, raises Click; a mouse release raises MouseUp.
// The folder is read name by name as the disk gives them (see zip/DiskName.h): List(i) is the name as shown,
// Name(i) the carried name every file step takes.

#include <QListWidget>

class FileListBox : public QListWidget
{
    Q_OBJECT
public:
    explicit FileListBox(QWidget* parent = nullptr);

    QString Path() const { return m_path; }
    void setPath(const QString& path); // re-reads the folder
    QString Pattern() const { return m_pattern; }
    void setPattern(const QString& pattern);
    void Refresh();

    int ListCount() const { return count(); }
    QString List(int index) const;
    QString Name(int index) const; // "" outside the list
    bool Selected(int index) const;
    void setSelected(int index, bool selected);
    int ListIndex() const { return currentRow(); }

    // Empty when the last read worked; otherwise a one-line reason (folder missing or unreadable).
    QString readError() const { return m_readError; }

signals:
    void Click();
    void MouseUp();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString m_path;
    QString m_pattern = QStringLiteral("*.zip");
    QString m_readError;
};
