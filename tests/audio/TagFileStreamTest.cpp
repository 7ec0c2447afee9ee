#include "audio/TagFileStream.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using namespace sonorix;
using sonorix::test::readFile;
using sonorix::test::TempDir;
using sonorix::test::writeFile;

namespace {

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

TagLib::ByteVector vectorOf(const std::string& bytes) {
    return TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

} // namespace

// The block moves must leave exactly what the tag library's own stream leaves, across block
// boundaries, for tags that grow, shrink or keep their size.
TEST(TagFileStream, EditsGiveTheBytesOfTheLibrarysOwnStream) {
    const std::string original = randomBytes(2 * TagFileStream::kBlock + 12345, 7);
    const unsigned long size = original.size();
    const std::string small = randomBytes(300, 1);
    const std::string large = randomBytes(TagFileStream::kBlock + 77, 2);
    using Edit = std::function<void(TagLib::IOStream&)>;
    const std::vector<std::pair<const char*, Edit>> edits = {
        {"grow at the start", [&](auto& s) { s.insert(vectorOf(small), 0, 0); }},
        {"grow a tag", [&](auto& s) { s.insert(vectorOf(small), 10, 100); }},
        {"grow by more than a block", [&](auto& s) { s.insert(vectorOf(large), 0, 4000); }},
        {"same size", [&](auto& s) { s.insert(vectorOf(small), 5000, small.size()); }},
        {"shrink a tag", [&](auto& s) { s.insert(vectorOf(small), 20, 5000); }},
        {"shrink across blocks",
         [&](auto& s) { s.insert(vectorOf(small), 0, TagFileStream::kBlock + 999); }},
        {"append at the end", [&](auto& s) { s.insert(vectorOf(small), size, 0); }},
        {"replace past the end", [&](auto& s) { s.insert(vectorOf(small), size - 10, 50); }},
        {"remove a block", [&](auto& s) { s.removeBlock(500, TagFileStream::kBlock + 3); }},
        {"remove up to the end", [&](auto& s) { s.removeBlock(1000, size); }},
        {"remove past the end", [&](auto& s) { s.removeBlock(size + 5, 10); }},
        {"remove nothing", [&](auto& s) { s.removeBlock(100, 0); }},
    };
    TempDir dir;
    for (const auto& [name, edit] : edits) {
        SCOPED_TRACE(name);
        const std::string theirs = dir.file("theirs.bin"), ours = dir.file("ours.bin");
        writeFile(theirs, original);
        writeFile(ours, original);
        {
            TagLib::FileStream stream(theirs.c_str());
            edit(stream);
        }
        {
            TagFileStream stream(ours.c_str());
            edit(stream);
        }
        const std::string expected = readFile(theirs);
        const std::string got = readFile(ours);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }
    // A read-only stream changes nothing.
    const std::string path = dir.file("read-only.bin");
    writeFile(path, original);
    {
        TagFileStream stream(path.c_str(), true);
        stream.insert(vectorOf(small), 0, 0);
        stream.removeBlock(0, 100);
    }
    EXPECT_TRUE(readFile(path) == original);
}
