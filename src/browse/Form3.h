#pragma once
// The About box (`Form3`): a fixed window without caption text over a picture of our own, with the
// program's mark, name, version and author line. It has no behaviour; about_Click shows it while a sound plays.

#include <QDialog>

class QLabel;

class Form3 : public QDialog
{
    Q_OBJECT
public:
    explicit Form3(QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;

protected:
    void paintEvent(QPaintEvent* event) override;
};
