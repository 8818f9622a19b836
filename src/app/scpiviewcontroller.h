#pragma once

#include <QWidget>

// The window layout's content view. It has no behaviour of its own: the
// measurement controller does the work through the widgets it holds.
class SCPIViewController : public QWidget
{
    Q_OBJECT
  public:
    using QWidget::QWidget;
};
