#pragma once

#include <QString>
#include <QStringList>

// Text measures shared by the whole program. A "character" is a user-perceived character (an extended
// grapheme cluster), so a letter with its combining accents, or an emoji family, counts once.
namespace TextHelpers {

int characterCount(const QString& text);
QStringList characters(const QString& text);
// Removes white space and line breaks at both ends.
QString trimmed(const QString& text);
bool isBlank(const QString& text);
// Runs of characters that are not white space.
int wordCount(const QString& text);
// A URL path with `component` appended as path component(s): exactly one "/" between the base path
// and the appended path.
QString appendingPathComponent(const QString& basePath, const QString& component);

} // namespace TextHelpers
