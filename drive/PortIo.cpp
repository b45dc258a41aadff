#include "drive/PortIo.h"

#include "app/ErrorDisplay.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>

#include <cstdio>
#include <dlfcn.h>
#include <string>

namespace {
const char *g_fileName = PortIoLibraryFileName;
bool g_reported = false;

// Tells the operator once, after the current handler, that the port is out of reach.
void ReportOnce(const std::string &what)
{
    if (g_reported)
        return;
    g_reported = true;
    const std::string message = "The port I/O library is not usable: " + what +
                                ". Motor commands go nowhere and sensor readings are 0.";
    std::fprintf(stderr, "robot: %s\n", message.c_str());
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [message] { ShowErrorMessage(message); }, Qt::QueuedConnection);
}
} // namespace

PortIoLibrary BindPortIoLibrary()
{
    PortIoLibrary lib;
    lib.Handle = dlopen(g_fileName, RTLD_NOW);
    if (!lib.Handle) {
        const char *err = dlerror();
        ReportOnce(std::string("cannot load ") + g_fileName + " (" + (err ? err : "not found") + ")");
        return lib;
    }
    lib.Inp32 = reinterpret_cast<PortIoLibrary::Inp32Fn>(dlsym(lib.Handle, "Inp32"));
    lib.Out32 = reinterpret_cast<PortIoLibrary::Out32Fn>(dlsym(lib.Handle, "Out32"));
    if (!lib.Inp32 || !lib.Out32)
        ReportOnce(std::string(g_fileName) + " lacks the entry point " + (lib.Inp32 ? "Out32" : "Inp32"));
    return lib;
}

void SetPortIoLibraryFileNameForTesting(const char *fileName)
{
    g_fileName = fileName ? fileName : PortIoLibraryFileName;
    g_reported = false;
}
