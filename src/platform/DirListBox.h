#pragma once
// The folder list (`Dir1`): the current folder with its parents above it and its subfolders below it.
// Double-clicking a line (or Enter) opens that folder. Changing Path, from code or by the user, raises Change.
// Paths are carried (see zip/DiskName.h), so a folder whose name is not UTF-8 is listed, shown escaped and
// opened; Folder(i) is the carried path of line i.

#include <QListWidget>

class DirListBox : public QListWidget
{
    Q_OBJECT
public:
    explicit DirListBox(QWidget* parent = nullptr);

    QString Path() const { return m_path; }
    // False, with Path unchanged, when the folder does not exist. Setting the current path again raises nothing.
    bool setPath(const QString& path);
    void Refresh();
    QString Folder(int index) const; // "" outside the list

signals:
    void Change();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void open(QListWidgetItem* item);
    QString m_path;
};

// "/a/b/" -> "/a/b"; "/" stays "/". Qt separators; a root keeps its trailing separator.
QString normalizedFolder(const QString& path);
