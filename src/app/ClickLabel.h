#pragma once

// A text label that reports clicks and double-clicks, for the link labels and
// the double-click on the program name.

#include <QLabel>

class TClickLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TClickLabel(QWidget* parent = nullptr);

  signals:
    void clicked();
    void doubleClicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    bool pressed_ = false;
};
