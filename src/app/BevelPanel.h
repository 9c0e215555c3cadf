#pragma once

// A plain rectangular panel with a solid colour and, optionally, the Windows
// double bevel: a raised outer ring and a lowered inner ring, one pixel each.
// Children are placed relative to the panel's top-left corner, the bevel
// drawn over the edge as a native panel does.

#include <QColor>
#include <QWidget>

class TBevelPanel : public QWidget {
    Q_OBJECT
  public:
    enum class Bevel { None, RaisedLowered };

    explicit TBevelPanel(QWidget* parent = nullptr);

    void SetBevel(Bevel bevel);
    Bevel GetBevel() const { return bevel_; }
    // An invalid colour lets the parent show through.
    void SetColor(const QColor& color);
    QColor Color() const { return color_; }
    // When on, a frame in the selection colour is drawn over the bevel while
    // a child has the keyboard focus (the child repaints the panel).
    void SetFocusFrame(bool on);
    bool ShowsFocusFrame() const;
    static constexpr int FocusFrameWidth = 3;

    // The colours of the lit and shaded bevel edges.
    static QColor HighlightEdge();
    static QColor ShadowEdge();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Bevel bevel_ = Bevel::None;
    QColor color_;
    bool focusFrame_ = false;
};
