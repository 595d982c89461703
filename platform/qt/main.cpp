// Program start on Linux: the Qt application object, then the logic's entry routine.
#include <QtWidgets/QApplication>

#include "app/appmain.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    return AppMain();
}
