#include "dictation/AIFormatPreset.h"
#include "dictation/DictationMode.h"
#include "dictation/DictationPreferences.h"
#include "dictation/SupportedLanguage.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class DictationVocabularyTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void modes() {
        QStringList raw;
        for (DictationMode mode : DictationModes::allCases) {
            raw << DictationModes::rawValue(mode);
            QCOMPARE(DictationModes::fromRawValue(DictationModes::rawValue(mode)), mode);
        }
        QCOMPARE(raw, (QStringList{"flash", "pro", "flashTranslate", "proTranslate"}));
        QCOMPARE(DictationModes::shortcutName(DictationMode::flash), QStringLiteral("toggleDictation"));
        QCOMPARE(DictationModes::shortcutName(DictationMode::pro),
                 QStringLiteral("toggleDictationOptionPro"));
        QCOMPARE(DictationModes::shortcutName(DictationMode::proTranslate),
                 QStringLiteral("toggleDictationTranslate"));
        QVERIFY(!DictationModes::streamsAudio(DictationMode::pro));
        QVERIFY(DictationModes::streamsAudio(DictationMode::proTranslate));
    }

    void stylesInMenuOrder() {
        QStringList menu;
        for (AIFormatPreset preset : AIFormatPresets::allCases)
            menu << AIFormatPresets::menuTitle(preset);
        QCOMPARE(menu.size(), 8);
        QCOMPARE(menu.first(), QString::fromUtf8("✨ Clean"));
        QCOMPARE(menu.at(5), QStringLiteral("? Ask"));
        QCOMPARE(menu.at(1), QString::fromUtf8("\u2709\uFE0F Email"));
        QCOMPARE(AIFormatPresets::shortLabel(AIFormatPreset::formal), QStringLiteral("Pro"));
        QCOMPARE(AIFormatPresets::id(AIFormatPreset::prompt), QStringLiteral("prompt"));
        QVERIFY(AIFormatPresets::prompt(AIFormatPreset::clean)
                    .startsWith(QStringLiteral("Clean up this dictated text.")));
        QVERIFY(AIFormatPresets::prompt(AIFormatPreset::summary)
                    .endsWith(QStringLiteral("Return only the summary.")));
    }

    void languages() {
        const auto& all = SupportedLanguages::all();
        QCOMPARE(all.size(), 25);
        QCOMPARE(all.first(), (SupportedLanguage{"en", QString::fromUtf8("🇺🇸"), "English"}));
        QCOMPARE(all.at(5), (SupportedLanguage{"pt", QString::fromUtf8("🇧🇷"), "Portuguese"}));
        QCOMPARE(all.at(16).code, QStringLiteral("no"));
        QCOMPARE(all.last(), (SupportedLanguage{"ms", QString::fromUtf8("🇲🇾"), "Malay"}));
        QCOMPARE(SupportedLanguages::selected(QStringLiteral("de")).name, QStringLiteral("German"));
        QCOMPARE(SupportedLanguages::selected(QStringLiteral("xx")).name, QStringLiteral("English"));
        QCOMPARE(SupportedLanguages::selected(QStringLiteral("DE")).name, QStringLiteral("English"));
    }

    void restore_data() {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("language");
        QTest::newRow("first launch") << QVariantMap{} << "flash"
                                      << "clean"
                                      << "en";
        QTest::newRow("all stored") << QVariantMap{{"dictationMode", "pro"},
                                                   {"aiFormatPreset", "email"},
                                                   {"targetLanguage", "fr"}}
                                    << "pro"
                                    << "email"
                                    << "fr";
        QTest::newRow("proTranslate is kept")
            << QVariantMap{{"dictationMode", "proTranslate"}} << "proTranslate"
            << "clean"
            << "en";
        QTest::newRow("unknown values")
            << QVariantMap{{"dictationMode", "turbo"}, {"aiFormatPreset", "poem"}} << "flash"
            << "clean"
            << "en";
        QTest::newRow("unlisted language kept") << QVariantMap{{"targetLanguage", "xx"}} << "flash"
                                                << "clean"
                                                << "xx";
    }

    void restore() {
        QFETCH(QVariantMap, stored);
        QTemporaryDir dir;
        QSettings settings(dir.filePath(QStringLiteral("Voxlet.conf")), QSettings::IniFormat);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings.setValue(it.key(), it.value());
        settings.sync();
        QSettings reread(dir.filePath(QStringLiteral("Voxlet.conf")), QSettings::IniFormat);
        QTEST(DictationModes::rawValue(DictationPreferences::restoreMode(reread)), "mode");
        QTEST(AIFormatPresets::rawValue(DictationPreferences::restoreStyle(reread)), "style");
        QTEST(DictationPreferences::restoreLanguage(reread), "language");
    }

    void storeThenRestore() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Voxlet.conf"));
        {
            QSettings settings(path, QSettings::IniFormat);
            DictationPreferences::storeMode(settings, DictationMode::flashTranslate);
            DictationPreferences::storeStyle(settings, AIFormatPreset::summary);
            DictationPreferences::storeLanguage(settings, QStringLiteral("ja"));
        }
        QSettings settings(path, QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("dictationMode")).toString(),
                 QStringLiteral("flashTranslate"));
        QCOMPARE(DictationPreferences::restoreMode(settings), DictationMode::flashTranslate);
        QCOMPARE(DictationPreferences::restoreStyle(settings), AIFormatPreset::summary);
        QCOMPARE(DictationPreferences::restoreLanguage(settings), QStringLiteral("ja"));
    }
};

QTEST_GUILESS_MAIN(DictationVocabularyTest)
#include "tst_dictation_vocabulary.moc"
