#pragma once

#include <QString>

// Paths and switches the test runner hands to every test.
namespace TestEnvironment {

QString sourceDir();
QString binaryDir();
// Whether a service started by scripts/test is available (VOXLET_TEST_<NAME>=1), e.g. "X11", "PULSE".
bool hasService(const char* name);

} // namespace TestEnvironment
