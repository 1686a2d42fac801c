// libFuzzer harness: any bytes as "string.bin", loaded for every language type and
// looked up for every identifier.
#include "fuzzsupport.h"

#include "context/zrpubmethod.h"
#include "context/stringtable.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzSupport::silenceMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The loader reads "string.bin" from the current directory.
    const FuzzSupport::ScopedCurrentDir inScratch(FuzzSupport::scratchDir());
    if (!FuzzSupport::writeFile(QStringLiteral("string.bin"), FuzzSupport::toBytes(data, size)))
        FuzzSupport::fail("write string.bin");

    ZRPubMethod *context = ZRPubMethod::getInstance();
    // -1 and LAN_TYPE_MAX are refused; they must not index the header's offset table.
    for (int lanType = -1; lanType <= LAN_TYPE_MAX; ++lanType) {
        context->setLanType(lanType);
        context->loadStringTable();
        const int count = context->stringCount();
        for (int id = -1; id <= STRING_ID_MAX + 1; ++id) {
            const QString text = getString(id);
            // The second lookup is served from the cache.
            FUZZ_CHECK(getString(id) == text, QString::number(id));
            if (id < 0 || id > STRING_ID_MAX)
                FUZZ_CHECK(text == QLatin1String("unkown"), text);
            else if (id >= count)
                FUZZ_CHECK(text.isEmpty(), text);
        }
    }
    return 0;
}
