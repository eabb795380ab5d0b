#include "support/TestEnvironment.h"

namespace TestEnvironment {

QString sourceDir() {
    return qEnvironmentVariable("VOXLET_SOURCE_DIR");
}

QString binaryDir() {
    return qEnvironmentVariable("VOXLET_BINARY_DIR");
}

bool hasService(const char* name) {
    return qEnvironmentVariable((QByteArrayLiteral("VOXLET_TEST_") + name).constData()) == QLatin1String("1");
}

} // namespace TestEnvironment
