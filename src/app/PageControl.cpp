#include "app/PageControl.h"

TPageControl::TPageControl(QWidget* parent) : QStackedWidget(parent) {
    setFrameShape(QFrame::NoFrame);
    setContentsMargins(0, 0, 0, 0);
}

int TPageControl::AddPage(QWidget* page) {
    page->setContentsMargins(0, 0, 0, 0);
    return addWidget(page);
}
