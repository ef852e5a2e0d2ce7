#pragma once
// The drive list (`Drive1`): the mounted volumes, "/" first. Changing Drive raises Change.

#include <QComboBox>

class DriveListBox : public QComboBox
{
    Q_OBJECT
public:
    explicit DriveListBox(QWidget* parent = nullptr);

    QString Drive() const; // the root of the chosen volume
    void setDrive(const QString& root);
    // Chooses the volume that holds the given path.
    void setDriveFor(const QString& path);
    void Refresh();

signals:
    void Change();

private:
    bool m_filling = false;
};
