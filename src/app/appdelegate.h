#pragma once

#include <QObject>

class QApplication;

namespace kestrel
{

// Answers the application's life questions: the program ends when its last
// window closes, with no confirmation.
class AppDelegate : public QObject
{
    Q_OBJECT
  public:
    explicit AppDelegate(QApplication& app);
};

} // namespace kestrel
