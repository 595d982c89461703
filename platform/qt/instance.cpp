// Program entry services of the Qt back end: single-instance lock, message box, screen.
#include <QtCore/QByteArray>
#include <QtCore/QTimer>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// The lock file for a name: $XDG_RUNTIME_DIR/<name>.lock (a per-user directory), else
// /tmp/<name>-<uid>.lock. Characters other than letters, digits, '-', '_' and '.' become '_'.
std::string LockPath(const char* name)
{
    std::string safe;
    for (const char* p = name; p != nullptr && *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        safe += ok ? c : '_';
    }
    if (safe.empty() || safe[0] == '.') {
        safe.insert(0, "lock");
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
        return std::string(runtime) + "/" + safe + ".lock";
    }
    return "/tmp/" + safe + "-" + std::to_string(getuid()) + ".lock";
}

}  // namespace

// The lock is an exclusive flock on the file, held through a descriptor that stays open for
// the life of the process: the kernel drops it when the process ends, however it ends
// (SIGKILL included), so a dead instance never leaves a stale lock. O_CLOEXEC keeps programs
// that we start (a JACK server, say) from inheriting it.
bool PlatTakeInstanceLock(const char* name)
{
    const std::string path = LockPath(name);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "ZYN_MOUSE: cannot open the instance lock %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return true;  // no way to tell: do not refuse to run
    }
    int rc = 0;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return !held;
    }
    return true;  // fd intentionally left open until the process ends
}

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
