// No built stub may hold a four-byte ZIP record signature anywhere in its
// image: a stub that did would be found by archivers as a record of its own
// archive. Scans every stub built in the tree (all build folders).
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "support/files.h"
#include "support/sfx_image.h"


namespace {

TEST(BuiltStubs, HoldNoRecordSignature) {
    const std::string signatures[] = {
        std::string("PK\x03\x04", 4), std::string("PK\x01\x02", 4), std::string("PK\x05\x06", 4),
        std::string("PK\x05\x05", 4), std::string("PK\x07\x08", 4), std::string("PK00", 4),
    };
    std::vector<std::string> stubs = BuiltStubPaths();
    for (const std::string& stub : stubs) {
        std::string image = ReadFileBytes(stub);
        ASSERT_GT(image.size(), 0u) << stub;
        for (const std::string& signature : signatures)
            EXPECT_EQ(image.find(signature), std::string::npos)
                << stub << " holds " << signature.substr(0, 2) << " " << (int)signature[2] << " " << (int)signature[3];
    }
}

}  // namespace
