#pragma once

// Lets widgets take files dragged from a file manager: a drag is accepted
// only when it carries at least one file (folders alone, web links and drags
// from within this program are refused), and a drop hands the files on.

#include "app/core/DroppedFiles.h"

#include <QObject>
#include <functional>

class QWidget;

class TFileDropFilter : public QObject {
    Q_OBJECT
  public:
    // Gets the files and the widget they were dropped on.
    using DropHandler = std::function<void(const appcore::TDroppedFiles&, QWidget* target)>;

    explicit TFileDropFilter(DropHandler handler, QObject* parent = nullptr);

    // Makes widget accept drops and routes them here.
    void Watch(QWidget* widget);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    DropHandler handler_;
};
