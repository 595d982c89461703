// The message box of the Qt back end (contract: platform/platform.h).
#include <QtCore/QByteArray>
#include <QtCore/QTimer>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>

#include <cstdio>

#include "platform/platform.h"

// A modal box with one OK button, as MessageBoxA(MB_OK). On a display nobody looks at (the
// offscreen platform of the tests) such a box would wait forever, so a test may set
// ZM_MESSAGEBOX_AUTOCLOSE_MS=<n>: the box then presses its own OK button after n ms and its
// caption and text are also written to stderr, for the test to check. This variable is a
// test hook only; the program reads no other environment and users have no reason to set it.
void PlatMessageBox(const char* text, const char* caption)
{
    const QString qtext = QString::fromLatin1(text != nullptr ? text : "");
    const QString qcaption = QString::fromLatin1(caption != nullptr ? caption : "");
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s: %s\n", qcaption.toLocal8Bit().constData(),
                     qtext.toLocal8Bit().constData());
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, qcaption, qtext, QMessageBox::Ok);
    bool ok = false;
    const int autoCloseMs = qEnvironmentVariableIntValue("ZM_MESSAGEBOX_AUTOCLOSE_MS", &ok);
    if (ok && autoCloseMs >= 0) {
        std::fprintf(stderr, "message box \"%s\": %s\n", qcaption.toLocal8Bit().constData(),
                     qtext.toLocal8Bit().constData());
        std::fflush(stderr);
        QTimer::singleShot(autoCloseMs, &box, [&box] {
            if (QAbstractButton* okButton = box.button(QMessageBox::Ok)) {
                okButton->click();
            }
        });
    }
    box.exec();
}
