#include <gtest/gtest.h>

#include "browser/file_classifier.hpp"
#include "browser/file_entry.hpp"
#include "core/time_format.hpp"

using namespace sayloft;
using browser::FileClassifier;

namespace {
core::TimePoint day(const char* yyyymmdd) {
    return core::parseLocal(yyyymmdd, "yyyyMMdd").value();
}
}  // namespace

TEST(FileClassifier, DatesDomainsAndTypesFollowTheNamingConvention) {
    auto c =
        FileClassifier::classify("240506-standup.md", "meetings/development/240506-standup.md");
    EXPECT_EQ(c.filenameDate, day("20240506"));
    EXPECT_EQ(c.domain, "development");
    EXPECT_EQ(c.fileType, "standup");

    // Longer keywords are tried before the shorter ones they contain, in any letter case.
    c = FileClassifier::classify("2024-05-06-Monthly-Part-A notes.md", "x/2024-05-06-Monthly.md");
    EXPECT_EQ(c.filenameDate, day("20240506"));
    EXPECT_EQ(c.fileType, "monthly-financial");
    EXPECT_EQ(FileClassifier::classifyType("250101-board-meeting.md"), "board");
    EXPECT_EQ(FileClassifier::classifyType("250101-samtal.md"), "conversation");
    EXPECT_EQ(FileClassifier::classifyType("250101-FÖRBEREDELSE.md"), "preparation");
    EXPECT_EQ(FileClassifier::classifyDomain("Meetings/Board/x.md"), "board");
    EXPECT_EQ(FileClassifier::classifyDomain("meetings/other/x.md"), "meetings-other");
    EXPECT_EQ(FileClassifier::classifyDomain("Projects/Alpha/x.md"), "project");
    EXPECT_EQ(FileClassifier::classifyDomain("customer_projects/x/y.md"), "project");
    EXPECT_EQ(FileClassifier::classifyDomain("notes/y.md"), std::nullopt);
}

TEST(FileClassifier, OnlyAValidDateFollowedByAHyphenAtTheStartCounts) {
    for (const char* name : {"2024-13-40-notes.md", "240506.md", "240506 notes.md",
                             "notes-2024-05-06.md", "2024-05-06.md", "240230-x.md", "24050-x.md"}) {
        auto c = FileClassifier::classify(name, std::string("meetings/board/") + name);
        EXPECT_FALSE(c.filenameDate) << name;
        EXPECT_FALSE(c.domain) << name;
        EXPECT_FALSE(c.fileType) << name;
    }
    // A six-digit date that does not parse does not fall back to the ISO form.
    EXPECT_FALSE(FileClassifier::parseFilenameDate("991399-2024-05-06-x.md"));
    EXPECT_EQ(FileClassifier::parseFilenameDate("991231-x.md"), day("19991231"));
    EXPECT_EQ(FileClassifier::parseFilenameDate("680101-x.md"), day("20680101"));
    EXPECT_EQ(FileClassifier::parseFilenameDate("240229-leap.md"), day("20240229"));
}

TEST(FileEntry, CacheFormRoundTripsAnyPath) {
    browser::FileEntry e;
    e.id = browser::newUuid();
    e.filename = browser::displayText("bad\xff name %.md");
    e.fullPath = "/v/bad\xff name %.md";
    e.relativePath = e.filename;
    e.modificationDate = day("20250314");
    e.creationDate = day("20010101");
    e.filenameDate = browser::kDistantPast;
    e.domain = "board";
    e.source = browser::Source::handoff;
    auto json = browser::toJson(e);
    EXPECT_EQ(json["creationDate"].get<double>(), browser::referenceSeconds(day("20010101")));
    EXPECT_EQ(json["fullPath"], "file:///v/bad%FF%20name%20%25.md");
    EXPECT_FALSE(json.contains("fileType"));
    auto back = browser::entryFromJson(core::Json::parse(json.dump()));
    EXPECT_EQ(back.fullPath, e.fullPath);
    EXPECT_EQ(back.filename, "bad\xEF\xBF\xBD name %.md");
    EXPECT_EQ(back.modificationDate, e.modificationDate);
    EXPECT_EQ(back.filenameDate, browser::kDistantPast);
    EXPECT_EQ(back.source, browser::Source::handoff);
    // NFC: a decomposed "é" is stored composed.
    EXPECT_EQ(browser::displayText("e\xCC\x81.md"), "\xC3\xA9.md");
}
