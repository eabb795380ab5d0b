#include "backend/AppConfiguration.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

namespace {

// JSON written with single quotes, to keep the tables readable.
QByteArray json(const char* text) {
    return QByteArray(text).replace('\'', '"');
}

} // namespace

class AppConfigurationTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void load_data() {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("web");
        QTest::addColumn<QString>("api");

        const QByteArray complete = json(
            "{'VoxletSupabaseURL':'https://auth.example.org','VoxletSupabaseAnonKey':'anon', "
            "'VoxletWebBaseURL':'https://www.example.org','VoxletAPIBaseURL':'https://api.example.org/api'}");
        QTest::newRow("complete") << complete << true << "https://www.example.org"
                                  << "https://api.example.org/api";
        QTest::newRow("anon key absent") << (json("{'VoxletSupabaseURL':'https://a.org'}")) << false << ""
                                         << "";
        QTest::newRow("url absent") << (json("{'VoxletSupabaseAnonKey':'anon'}")) << false << ""
                                    << "";
        QTest::newRow("anon key a number")
            << (json("{'VoxletSupabaseURL':'https://a.org','VoxletSupabaseAnonKey':42}")) << false << ""
            << "";
        QTest::newRow("empty url") << (json("{'VoxletSupabaseURL':'','VoxletSupabaseAnonKey':'anon'}"))
                                   << false << ""
                                   << "";
        QTest::newRow("empty key") << (json(
                                          "{'VoxletSupabaseURL':'https://a.org','VoxletSupabaseAnonKey':''}"))
                                   << false << ""
                                   << "";
        QTest::newRow("url does not parse")
            << (json("{'VoxletSupabaseURL':'http://[::1','VoxletSupabaseAnonKey':'k'}")) << false << ""
            << "";
        QTest::newRow("empty api url is absent")
            << (json(
                   "{'VoxletSupabaseURL':'https://a.org','VoxletSupabaseAnonKey':'k','VoxletAPIBaseURL':''}"))
            << true << ""
            << "";
        QTest::newRow("web url a boolean") << (json("{'VoxletSupabaseURL':'https://"
                                                    "a.org','VoxletSupabaseAnonKey':'k','VoxletWebBaseURL':"
                                                    "true, 'VoxletAPIBaseURL':'http://127.0.0.1:8787'}"))
                                           << true << ""
                                           << "http://127.0.0.1:8787";
        QTest::newRow("api url that does not parse")
            << (json("{'VoxletSupabaseURL':'https://"
                     "a.org','VoxletSupabaseAnonKey':'k','VoxletAPIBaseURL':'http://[x'}"))
            << true << ""
            << "";
        QTest::newRow("not an object") << QByteArray("[1,2]") << false << ""
                                       << "";
        QTest::newRow("not JSON") << QByteArray("<plist/>") << false << ""
                                  << "";
    }

    void load() {
        QFETCH(QByteArray, info);
        QFETCH(bool, loads);
        QFETCH(QString, web);
        QFETCH(QString, api);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("Info.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(info);
        file.close();

        const auto configuration = AppConfiguration::load(file.fileName());
        QCOMPARE(configuration.has_value(), loads);
        if (!loads)
            return;
        QCOMPARE(configuration->webBaseURL.value_or(QUrl()).toString(), web);
        QCOMPARE(configuration->apiBaseURL.value_or(QUrl()).toString(), api);
        QVERIFY(!configuration->supabaseAnonKey.isEmpty());
    }

    void missingFileGivesNothing() {
        QVERIFY(!AppConfiguration::load(QStringLiteral("/nonexistent/Info.json")));
    }

    void derivedAddresses_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("component");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bare host") << "https://api.example.org"
                                   << "ai/format"
                                   << "https://api.example.org/ai/format";
        QTest::newRow("trailing slash") << "https://api.example.org/"
                                        << "ai/format"
                                        << "https://api.example.org/ai/format";
        QTest::newRow("own path") << "https://api.example.org/api"
                                  << "ai/format"
                                  << "https://api.example.org/api/ai/format";
        QTest::newRow("own path with slash") << "https://api.example.org/api/"
                                             << "ai/format"
                                             << "https://api.example.org/api/ai/format";
        QTest::newRow("port") << "http://127.0.0.1:8787"
                              << "api/version"
                              << "http://127.0.0.1:8787/api/version";
        QTest::newRow("login page") << "https://www.example.org/app"
                                    << "login"
                                    << "https://www.example.org/app/login";
    }

    void derivedAddresses() {
        QFETCH(QString, base);
        QFETCH(QString, component);
        QTEST(AppConfiguration::appendingPathComponent(QUrl(base), component).toString(), "expected");
    }

    void buildWritesTheDefaultsIntoInfoJson() {
        const QString path =
            qEnvironmentVariable("VOXLET_BINARY_DIR") + QStringLiteral("/share/voxlet/Info.json");
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
        QVERIFY(info.value(QStringLiteral("CFBundleVersion")).isString());
        QVERIFY(info.value(QStringLiteral("CFBundleShortVersionString")).isString());
        QVERIFY(AppConfiguration::fromInfo(info).has_value());
    }
};

QTEST_GUILESS_MAIN(AppConfigurationTest)
#include "tst_app_configuration.moc"
