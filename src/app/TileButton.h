#pragma once

// The flat rectangular button of the window: a face, a border and a caption
// colour for each of four states, an optional check style in which a click
// leaves the tile down, and a one-line caption cut with an ellipsis. Space
// and Enter press it; a focus mark shows when the keyboard brought the focus.

#include <QAbstractButton>
#include <QColor>

struct TTileLook {
    QColor Face;
    QColor Border;
    QColor Caption;
};

struct TTileScheme {
    TTileLook Normal;
    TTileLook Hover;
    TTileLook Down;
    TTileLook Disabled;

    // White tiles of the top band and the close tile.
    static TTileScheme Light();
    // Blue tiles on the pages.
    static TTileScheme Blue();
};

class TTileButton : public QAbstractButton {
    Q_OBJECT
  public:
    enum class CaptionPlacement {
        Centered, // centred both ways
        NearTop,  // centred across, a fixed distance below the top edge
    };

    explicit TTileButton(QWidget* parent = nullptr);

    void SetScheme(const TTileScheme& scheme);
    const TTileScheme& Scheme() const { return scheme_; }
    void SetCaptionPlacement(CaptionPlacement placement);
    // A free number the window reads back (the navigation tiles carry 1 to 3).
    void SetTag(int tag) { tag_ = tag; }
    int Tag() const { return tag_; }

    // The look the tile paints right now.
    const TTileLook& CurrentLook() const;
    // The caption as painted: one line, cut with an ellipsis when too long.
    QString DisplayedCaption() const;

    QSize sizeHint() const override;

    // Distance of the caption's top from the tile's top in NearTop placement.
    static constexpr int NearTopOffset = 4;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    TTileScheme scheme_ = TTileScheme::Light();
    CaptionPlacement placement_ = CaptionPlacement::Centered;
    int tag_ = 0;
    bool hovered_ = false;
    bool keyboardFocus_ = false;
};
