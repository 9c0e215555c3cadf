#pragma once

// A text label that reports clicks and double-clicks, for the link labels and
// the double-click on the program name. It takes the keyboard focus, shows it
// with a dotted frame, and Enter or Space does what its mouse action does.

#include <QLabel>

class TClickLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TClickLabel(QWidget* parent = nullptr);

    // A link answers to a click, any other click label to a double-click.
    void SetLink(bool link) { link_ = link; }
    bool IsLink() const { return link_; }
    // What the keyboard and assistive tools do: a click for a link, else a
    // double-click.
    void Activate();

  signals:
    void clicked();
    void doubleClicked();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    bool pressed_ = false;
    bool link_ = false;
};
