// Arbitrary file contents through the configuration import.

#include "configfile.h"
#include "fuzzfile.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_configfile";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    const QString path = writeFuzzFile(QStringLiteral("fuzz.ini"), data, size);
    const QString copy = fuzzFilePath(QStringLiteral("copy.ini"));

    ConfigValues values;
    const ConfigFile::ReadResult result = ConfigFile::read(path, &values);
    if (result != ConfigFile::ReadOk && result != ConfigFile::ReadNotAConfig)
        abort(); // the file exists and is readable
    if (result == ConfigFile::ReadOk) {
        // Whatever was read exports to a new file and imports back the same.
        QFile::remove(copy);
        if (!ConfigFile::write(copy, values))
            abort();
        ConfigValues again;
        if (ConfigFile::read(copy, &again) != ConfigFile::ReadOk)
            abort();
        if (again.name != values.name || again.ldMask != values.ldMask || again.lowPowerMask != values.lowPowerMask
            || again.maxDac != values.maxDac || again.alarmTenths != values.alarmTenths || again.hours != values.hours)
            abort();
    }
    return 0;
}
