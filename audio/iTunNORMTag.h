#pragma once

#include "audio/SoundCheck.h"
#include "foundation/ExceptionBase.h"
#include "foundation/MemoryMappable.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sonorix {

// The Sound Check text of one audio file: ten 32-bit values as a 90-character text of
// space-prefixed 8-digit hexadecimal fields. A text already in the file is found in its mapped
// bytes and rewritten in place; otherwise the file's ID3v2 comment frame "iTunNORM" (MP3, AIFF)
// or its MP4 freeform item "----:com.apple.iTunes:iTunNORM" is used through TagLib.
class iTunNORMTag {
public:
    SONORIX_DECLARE_EXCEPTION(iTunNORMTagException, ExceptionBase);
    SONORIX_DECLARE_EXCEPTION(NoTagException, iTunNORMTagException);
    // Writing failed; fault says why.
    class SaveErrorException : public iTunNORMTagException {
    public:
        explicit SaveErrorException(std::string message = "SaveErrorException",
                                    FileFault fault = FileFault::Other)
            : iTunNORMTagException(std::move(message)), m_fault(fault) {}
        FileFault fault() const { return m_fault; }
        SONORIX_EXCEPTION_BODY(SaveErrorException)

    private:
        FileFault m_fault;
    };
    SONORIX_DECLARE_EXCEPTION(NoTagSupportedException, NoTagException);
    // A text is there, but with values iTunes never writes: it counts as no value.
    SONORIX_DECLARE_EXCEPTION(InvalidTextException, NoTagException);
    // The file's structure would make the tag library recurse without end; it is not opened.
    SONORIX_DECLARE_EXCEPTION(UnsafeFileException, iTunNORMTagException);
    // The file's ID3v2 tag holds frames the tag library cannot read, and it cannot be rewritten
    // without them: the file is left unchanged.
    SONORIX_DECLARE_EXCEPTION(UnreadableTagException, SaveErrorException);

    static constexpr size_t kTextLength = 90;
    // No adjustment: 1000, 1000, 2500, 2500, the rest 0.
    static const char kDefaultText[];
    static const char kMP4ItemName[];

    // Where the text is handled.
    enum class Mode { None, Raw, ID3v2, MP4 };
    // TagLibOnly skips the search in the file's bytes (measurements and tools).
    enum class Search { RawThenTagLib, TagLibOnly };

    iTunNORMTag();
    ~iTunNORMTag();
    iTunNORMTag(const iTunNORMTag&) = delete;
    iTunNORMTag& operator=(const iTunNORMTag&) = delete;

    // hint: byte offset at which the text was last found (-1: none); tried first, and updated
    // when the search finds the text elsewhere. writable: the object may change the file.
    // create: a missing comment frame or MP4 item may be added by write.
    void open(const std::string& path, int32_t& hint, bool writable, bool create,
              Search search = Search::RawThenTagLib);

    bool isPresent() const;
    // Whether the text present holds values iTunes itself could have written (the adjustment
    // fields within 1…65534): a text that fails this is treated as no value and replaced.
    bool isValid() const;
    uint32_t value(int index) const;
    SoundCheckValues values() const;
    // Returns whether anything in the file changed; throws SaveErrorException. With comment, a
    // save through the tag library writes the file's comment (as CommentTag::write does) in the
    // same save where it can; *commentSaved says whether the file now holds that comment. A
    // text changed in place, or left as it is, leaves a changed comment to its own save.
    bool write(const SoundCheckValues& values, const std::u16string* comment = nullptr,
               bool* commentSaved = nullptr);
    // Stores the adjustment in dB with zero peaks, keeping the statistics fields.
    bool setAdjustment(double adjustment, const std::u16string* comment = nullptr,
                       bool* commentSaved = nullptr);
    // Through the tag library: the file's comment, the one CommentTag reads. False in raw mode,
    // and where that comment is kept in another tag than the text.
    bool comment(std::u16string& comment) const;

    Mode mode() const { return m_mode; }
    // Raw mode: byte offset of the text's first character.
    int64_t textOffset() const { return m_textOffset; }
    // The text as read (the default text when there is none).
    std::string text() const;

private:
    struct TagLibState;

    void openWithTagLib(std::unique_ptr<ExceptionBase> mappingError);
    bool sharesComment() const;
    void readTagLibText();
    void close();

    std::shared_ptr<MemoryMappable> m_mapping;
    uint8_t* m_text = nullptr;
    int64_t m_textOffset = -1;
    std::string m_path;
    std::unique_ptr<TagLibState> m_tagLib;
    std::string m_tagLibText; // TagLib mode: the text read through the tag, empty when absent
    bool m_writable = false;
    bool m_create = false;
    Mode m_mode = Mode::None;
};

std::shared_ptr<iTunNORMTag> createITunNORMTag(const std::string& path, int32_t& hint,
                                               bool writable, bool create);

// The text format, shared by the tag and the tools around it.
namespace SoundCheckText {

// Parses 90 characters; digits may be upper or lower case. False when a field is not a space
// and 8 hexadecimal digits.
bool parse(const char* text, size_t length, SoundCheckValues& values);
// One field: a space and 8 hexadecimal digits.
bool parseField(const char* field, uint32_t& value);
// A text as other tools and old versions wrote it: at least ten words of 1 to 8 hexadecimal
// digits (either case) separated by white space, the leading space optional; the first ten count.
bool parseTolerant(const std::string& text, SoundCheckValues& values);
// Whether the values are what iTunes writes: the four adjustment fields within 1…65534.
bool plausible(const SoundCheckValues& values);
// 90 characters, upper-case digits.
std::string format(const SoundCheckValues& values);

struct Location {
    size_t signature; // offset of "iTunNORM"
    size_t text;      // offset of the text's first space
};
// Finds a text behind the signature "iTunNORM\0" in the ID3v2 comment or MP4 data-atom layout,
// trying the hint first. With inPlaceOnly, a text counts only where a player reads it (the
// comment frame or freeform item, checked against the file's structure), so that changing it in
// place changes nothing else; the search goes on past any other.
std::optional<Location> find(const uint8_t* data, size_t size, int64_t hint,
                             bool inPlaceOnly = false);

} // namespace SoundCheckText

} // namespace sonorix
