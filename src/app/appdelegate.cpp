#include "app/appdelegate.h"

#include <QApplication>

namespace kestrel
{

AppDelegate::AppDelegate(QApplication& app) : QObject(&app)
{
    app.setQuitOnLastWindowClosed(true);
}

} // namespace kestrel
