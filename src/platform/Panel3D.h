#pragma once
// A sunken 3D panel with a caption and an optional flood fill from left to right (`SSPanel1`..`3`).

#include <QElapsedTimer>
#include <QWidget>

class Panel3D : public QWidget
{
    Q_OBJECT
public:
    explicit Panel3D(QWidget* parent = nullptr);

    QString Caption() const { return m_caption; }
    void setCaption(const QString& caption);
    int FloodType() const { return m_floodType; } // 0 no fill, 1 fill from left to right
    void setFloodType(int type);
    int FloodPercent() const { return m_floodPercent; }
    void setFloodPercent(int percent);
    // Paints now, so the bar moves while a long call keeps the event loop away; at most every 40 ms,
    // since thousands of short calls would otherwise spend their time painting.
    void repaintNow();
    // Bevel and margin around the caption on each side, in pixels.
    static constexpr int kInset = 2;
    // The height that shows a caption in the panel's font at its full line height, ascent to descent.
    int captionHeight() const;
    // The rectangle the caption and the fill are drawn in.
    QRect captionRect() const { return rect().adjusted(kInset, kInset, -kInset, -kInset); }

signals:
    void Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString m_caption;
    int m_floodType = 0;
    int m_floodPercent = 0;
    QElapsedTimer m_lastPaint;
};
