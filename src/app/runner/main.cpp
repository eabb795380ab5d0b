#include "app/runner/DictationRunner.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

QCoro::Task<> runAndQuit(DictationRunner& runner) {
    const int code = co_await runner.run();
    QCoreApplication::exit(code);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Voxlet"));
    QCoreApplication::setApplicationName(QStringLiteral("Voxlet"));

    const QStringList arguments = application.arguments();
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        std::fputs(qPrintable(DictationRunner::usage()), stdout);
        return 0;
    }
    QString error;
    const auto options = DictationRunner::parse(arguments, &error);
    if (!options) {
        std::fprintf(stderr, "voxlet-dictate: %s\n%s", qPrintable(error),
                     qPrintable(DictationRunner::usage()));
        return DictationRunner::usageError;
    }

    DictationRunner runner(*options);
    QTimer::singleShot(0, &application, [&runner] { runAndQuit(runner); });
    return application.exec();
}
