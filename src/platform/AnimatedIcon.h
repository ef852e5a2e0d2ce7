#pragma once
// A small animation (`AniIcon1`) that turns while it is visible: frames drawn by us, advanced by a timer
// that runs only while the widget is shown.

#include <QTimer>
#include <QWidget>

class AnimatedIcon : public QWidget
{
    Q_OBJECT
public:
    explicit AnimatedIcon(QWidget* parent = nullptr);
    int frame() const { return m_frame; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer m_timer;
    int m_frame = 0;
};
