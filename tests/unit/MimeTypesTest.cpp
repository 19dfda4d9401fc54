#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Nimbo/Connection/MimeTypes.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;

namespace {

std::vector<TMimeTypes::TMimeType> AllRows() {
    std::vector<TMimeTypes::TMimeType> rows;
    TMimeTypes::IterateAll([&](const TMimeTypes::TMimeType* ARow) { rows.push_back(*ARow); });
    return rows;
}

}  // namespace

TEST(MimeTypes, CarriesTheTableInItsOrder) {
    const auto rows = AllRows();
    ASSERT_EQ(rows.size(), 982u);
    struct Telling {
        std::size_t Position;
        std::string_view Ext, Mime;
    };
    for (const Telling& t :
         {Telling{0, "ez", "application/andrew-inset"}, Telling{1, "aw", "application/applixware"},
          Telling{56, "bin", "application/octet-stream"}, Telling{616, "woff", "application/font-woff"},
          Telling{781, "jpeg", "image/jpeg"}, Telling{782, "jpg", "image/jpeg"},
          Telling{797, "sub", "image/vnd.dvb.subtitle"}, Telling{891, "sub", "text/vnd.dvb.subtitle"},
          Telling{967, "mkv", "video/x-matroska"}, Telling{968, "mk3d", "video/x-matroska"},
          Telling{969, "mks", "video/x-matroska"}, Telling{981, "ice", "x-conference/x-cooltalk"}}) {
        EXPECT_EQ(rows[t.Position].Ext, t.Ext) << t.Position;
        EXPECT_EQ(rows[t.Position].Mime, t.Mime) << t.Position;
    }
    std::set<std::string_view> types, extensions;
    std::vector<std::string_view> repeated;
    for (const auto& row : rows) {
        types.insert(row.Mime);
        if (!extensions.insert(row.Ext).second) repeated.push_back(row.Ext);
        for (const char c : row.Ext) EXPECT_FALSE(c >= 'A' && c <= 'Z') << row.Ext;
    }
    EXPECT_EQ(types.size(), 765u);
    EXPECT_EQ(repeated, std::vector<std::string_view>{"sub"});
}

TEST(MimeTypes, LooksUpTheExtensionOfAFileName) {
    for (const auto& [name, mime] : std::vector<std::pair<std::string, std::string>>{
             {"photo.jpg", "image/jpeg"},
             {"PHOTO.JPG", "application/octet-stream"},
             {"archive.tar.gz", "application/octet-stream"},
             {"backup.tar", "application/x-tar"},
             {"README", "application/octet-stream"},
             {"name.", "application/octet-stream"},
             {".pdf", "application/pdf"},
             {"dir.pdf\\readme", "application/octet-stream"},
             {"dir.pdf/readme", "application/octet-stream"},
             {"dir/report.pdf", "application/pdf"},
             {"C:\\docs\\report.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
             {"movie.sub", "image/vnd.dvb.subtitle"},
             {"", "application/octet-stream"},
             {"notes.txt", "text/plain"},
             {"index.htm", "text/html"},
             {"data.json", "application/json"},
             {"clip.mp4", "video/mp4"},
             {"font.woff2", "application/octet-stream"},
             {"a b.png", "image/png"},
             {"..zip", "application/zip"},
         }) {
        EXPECT_EQ(TMimeTypes::ByFileName(name), mime) << name;
    }
}

TEST(MimeTypes, RefusesCharactersNotAllowedInFileNames) {
    for (const std::string& name :
         std::vector<std::string>{"a|b.txt", "a<b.txt", "a>b.txt", "say \"hi\".txt", "tab\there.txt",
                                  std::string("nul\0.txt", 8), "line\nbreak.txt", "\x1f.txt"}) {
        try {
            TMimeTypes::ByFileName(name);
            ADD_FAILURE() << name;
        } catch (const EArgumentException& e) {
            EXPECT_STREQ(e.what(), "Invalid characters in file name");
        }
    }
    EXPECT_EQ(TMimeTypes::ByFileName("caf\xc3\xa9.txt"), "text/plain");  // UTF-8 beyond ASCII is fine
}
