#pragma once
// The text window that shows a viewed entry (`Form2`), with its one text box `Text1`.

#include <QPlainTextEdit>
#include <QWidget>

class Form2 : public QWidget
{
    Q_OBJECT
public:
    explicit Form2(QWidget* parent = nullptr);
    QPlainTextEdit* Text1 = nullptr;
};
