#pragma once

// The window's page control: pages addressed by index, one shown at a time,
// each covering the whole control. There is no tab strip and no frame, so no
// border shows around the page content; only the navigation tiles change the
// page.

#include <QStackedWidget>

class TPageControl : public QStackedWidget {
    Q_OBJECT
  public:
    explicit TPageControl(QWidget* parent = nullptr);

    // Adds a page that fills the control; returns its index.
    int AddPage(QWidget* page);
    int ActivePageIndex() const { return currentIndex(); }
    void SetActivePageIndex(int index) { setCurrentIndex(index); }
};
