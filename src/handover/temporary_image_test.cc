// The naming policy over the fake file system: turns, leftovers, refusals, sweeps and copies.
#include "handover/temporary_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "fake_file_system.h"
#include "handover/hidden_names.h"

namespace kv2pelmo {
namespace {

using test::FakeFileSystem;
using Bytes = std::vector<std::uint8_t>;
using Reason = NamingError::Cause;
// Which step failed, and why where the naming policy knows.
using Failed = std::pair<FileError::Kind, std::optional<Reason>>;
constexpr char kTemp[] = "tempdct3.tmp";
const Bytes kImage = {1, 2, 3};

struct Policy {
  FakeFileSystem fs;
  ProtectedFiles protect = {"fw.480", std::nullopt};
  int notices = 0;

  Policy() { fs.Put("fw.480", {9}); }
  std::unique_ptr<TemporaryImage> Take() {
    return TemporaryImage::Create(fs, kTemp, protect, [this](const std::string&) { ++notices; });
  }
  // Writes the image and names it to, as a run does.
  void Convert(const std::string& to) {
    std::unique_ptr<TemporaryImage> image = Take();
    image->Stream().WriteExactly(kImage.data(), kImage.size());
    image->Sync();
    image->MoveTo(to);
  }
  // Returns how converting failed.
  Failed Failure(const std::string& to = "fw.fls") {
    try {
      Convert(to);
    } catch (const NamingError& error) {
      return {error.kind(), error.cause()};
    } catch (const FileError& error) {
      return {error.kind(), std::nullopt};
    }
    ADD_FAILURE() << "converted";
    return {};
  }
  // The output is whole, this user's, with a new file's mode, and alone.
  void ExpectOutput(const std::string& to = "fw.fls") {
    EXPECT_EQ(fs.Bytes(to), kImage);
    EXPECT_TRUE(fs.Look(to, false).facts.default_owner_and_mode);
    EXPECT_FALSE(fs.Has(kTemp));
  }
};

// A leftover no run holds is made anew when it cannot be taken over: one
// with another name, another user's, or one this user may not open at all.
TEST(TemporaryImageTest, LeftoversThatCannotBeTakenOverAreMadeAnew) {
  for (const auto& [owner, mode] :
       {std::pair{0, 0644u}, {1000, 0444u}, {1000, 0u}, {1000, 0666u}}) {
    Policy p;
    p.fs.Put(kTemp, {7, 7}, owner, mode);
    p.Convert("fw.fls");
    p.ExpectOutput();
  }
  Policy linked;
  const int precious = linked.fs.Put("precious", {5});
  linked.fs.Link(precious, kTemp);
  linked.Convert("fw.fls");
  linked.ExpectOutput();
  EXPECT_EQ(linked.fs.Bytes("precious"), Bytes{5});
}

// A file that some program holds may be a live run's, whoever's it is: it
// is waited for, with one notice after a second, and never removed.
TEST(TemporaryImageTest, AFileInUseIsWaitedForWhoeverHoldsIt) {
  for (const unsigned mode : {0664u, 0600u}) {
    for (const bool exclusive : {false, true}) {
      Policy p;
      p.fs.exclusive_opens = exclusive;
      const int live = p.fs.Put(kTemp, {7}, FakeFileSystem::kOther, mode);
      p.fs.inodes[live].lock = FakeFileSystem::kElsewhere;
      p.fs.after_waiting.emplace_back(1500, [&p, live] {
        p.fs.Rename(kTemp, "theirs.fls");  // that run names its image and lets go
        p.fs.inodes[live].lock = nullptr;
      });
      p.Convert("fw.fls");
      p.ExpectOutput();
      EXPECT_EQ(p.fs.Bytes("theirs.fls"), Bytes{7});
      EXPECT_EQ(p.notices, 1);
      EXPECT_GE(p.fs.waited, 1500);
    }
  }
  // Where no lock can be seen (another PID namespace, an overlay), one that
  // cannot be opened is waited for too, within a bound.
  Policy unseen;
  unseen.fs.locks_unknown = true;
  unseen.fs.Put(kTemp, {7}, FakeFileSystem::kOther, 0600);
  unseen.fs.after_waiting.emplace_back(1500, [&unseen] { unseen.fs.Rename(kTemp, "theirs.fls"); });
  unseen.Convert("fw.fls");
  unseen.ExpectOutput();
  EXPECT_EQ(unseen.notices, 1);
  // Just made by another run that has not yet locked it, in a sticky
  // directory where this run may not remove it: still waited for.
  Policy p;
  p.fs.directories[""].sticky = true;
  const int born = p.fs.Put(kTemp, {}, FakeFileSystem::kOther, 0644);
  p.fs.after_waiting.emplace_back(
      40, [&p, born] { p.fs.inodes[born].lock = FakeFileSystem::kElsewhere; });
  p.fs.after_waiting.emplace_back(500, [&p, born] {
    p.fs.Unlink(kTemp);
    p.fs.inodes[born].lock = nullptr;
  });
  p.Convert("fw.fls");
  p.ExpectOutput();
}

TEST(TemporaryImageTest, RefusalsLeaveTheLeftoverAndSayWhy) {
  using Kind = FileError::Kind;
  const auto refused = [](const std::function<void(Policy&)>& arrange) {
    Policy p;
    p.fs.Put(kTemp, {7}, FakeFileSystem::kOther, 0644);
    arrange(p);
    const auto failure = p.Failure();
    EXPECT_EQ(p.fs.Bytes(kTemp), Bytes{7});
    EXPECT_FALSE(p.fs.Has("fw.fls"));
    return failure;
  };
  const Failed not_removable{Kind::kCreate, Reason::kNotRemovable};
  EXPECT_EQ(refused([](Policy& p) { p.fs.directories[""].sticky = true; }), not_removable);
  EXPECT_EQ(refused([](Policy& p) { p.fs.directories[""].writable = false; }), not_removable);
  // Another user's that this user may not open is never removed: its owner
  // could be taking it over meanwhile.
  EXPECT_EQ(refused([](Policy& p) { p.fs.inodes[p.fs.names[kTemp]].mode = 0600; }),
            Failed(Kind::kCreate, Reason::kOthersLeftover));
  EXPECT_EQ(refused([](Policy& p) {
              p.fs.inodes[p.fs.names[kTemp]].mode = 0600;
              p.fs.locks_unknown = true;
            }),
            Failed(Kind::kCreate, Reason::kInUseUnknown));
  EXPECT_EQ(refused([](Policy& p) { p.fs.standard[1] = Lookup{}; }),
            Failed(Kind::kCreate, Reason::kMaybeProtected));
  EXPECT_EQ(refused([](Policy& p) { p.fs.standard[1] = p.fs.Look(kTemp, false); }),
            Failed(Kind::kCreate, std::nullopt));
  EXPECT_EQ(refused([](Policy& p) { p.protect.alignator = kTemp; }),
            Failed(Kind::kCreate, std::nullopt));
  EXPECT_EQ(refused([](Policy& p) { p.fs.inodes[p.fs.names[kTemp]].link_to = "fw.480"; }),
            Failed(Kind::kCreate, std::nullopt));
}

// Nor over the name of a link given as the alignator, nor over the file
// that the messages go to.
TEST(TemporaryImageTest, NeverNamedOverTheInputOrTheAlignator) {
  Policy p;
  p.protect.alignator = "link.fls";
  p.fs.Put("fw.48g", {8});
  p.fs.inodes[p.fs.Put("link.fls", {})].link_to = "fw.48g";
  p.fs.Link(p.fs.names["fw.480"], "input.fls");
  p.fs.standard[1] = p.fs.Look("fw.48g", false);  // kv2pelmo fw.480 > fw.48g
  EXPECT_EQ(p.Failure("link.fls"), Failed(FileError::Kind::kRename, Reason::kIsAlignator));
  EXPECT_EQ(p.Failure("input.fls"), Failed(FileError::Kind::kRename, Reason::kIsInput));
  p.protect.alignator.reset();
  EXPECT_EQ(p.Failure("fw.48g"), Failed(FileError::Kind::kRename, Reason::kIsStandardStream));
  EXPECT_EQ(p.fs.Bytes("fw.48g"), Bytes{8});
  EXPECT_EQ(p.fs.Bytes("input.fls"), Bytes{9});
}

// Where each spelling of a name shows its own id (FAT through FUSE), names
// that the directory folds together are one file, and one in a directory
// spelled otherwise, or a file the messages go to there, may be.
TEST(TemporaryImageTest, WhereIdsFollowTheSpellingNamesAreCompared) {
  using Kind = FileError::Kind;
  const auto arranged = [](Policy& p, bool folds) {
    p.fs.directories[""] = {true, false, 0, false, 255, folds, false};
    p.fs.Put("TEMPDCT3.TMP", {9});
    p.fs.Put("FW.FLS", {8});
  };
  Policy p;
  arranged(p, true);
  p.protect.input = "TEMPDCT3.TMP";
  EXPECT_EQ(p.Failure(), Failed(Kind::kCreate, std::nullopt));
  EXPECT_EQ(p.fs.Bytes("TEMPDCT3.TMP"), Bytes{9});
  p.protect.input = "fw.480";
  p.protect.alignator = "FW.FLS";
  EXPECT_EQ(p.Failure(), Failed(Kind::kRename, Reason::kIsAlignator));
  p.protect.alignator = "./FW.FLS";
  EXPECT_EQ(p.Failure(), Failed(Kind::kRename, Reason::kMaybeProtected));
  EXPECT_EQ(p.fs.Bytes("FW.FLS"), Bytes{8});
  p.fs.standard[1] = p.fs.Look("fw.480", false);  // kv2pelmo ... > fw.480, say
  EXPECT_EQ(p.Failure(), Failed(Kind::kCreate, Reason::kMaybeProtected));
  Policy logged;  // messages logged beside the image: only a name that may fold is a doubt
  logged.fs.directories[""] = p.fs.directories[""];
  logged.fs.standard[1] = logged.fs.Look("fw.480", false);
  logged.fs.standard_names[1] = "/stick/log.txt";
  logged.Convert("fw.fls");
  logged.fs.standard_names[1] = "/stick/FW.FLS";
  EXPECT_EQ(logged.Failure(), Failed(Kind::kRename, Reason::kMaybeProtected));
  Policy sensitive;  // where both spellings are listed, they are two files
  arranged(sensitive, false);
  sensitive.protect.alignator = "FW.FLS";
  sensitive.Convert("fw.fls");
  sensitive.ExpectOutput();
}

// Only a file under the hidden name of its own identity, which no user's
// file has by chance, or an empty one under a random name (a copy that died
// before it had its identity's), is swept, and only when no run holds it;
// the input, a user's file of a like name and a live run's copy stay. A
// user's file under the hidden name of the reused leftover blocks nothing.
TEST(TemporaryImageTest, SweepRemovesOnlyDeadCopiesOfItsOwn) {
  Policy p;
  const auto hidden = [&p](const std::string& name) {
    const std::string path = "out/" + name;
    p.fs.Put(path, {4});
    std::string own = HiddenNameForFile("out/", p.fs.Look(path, false).facts.id);
    p.fs.Rename(path, own);
    return own;
  };
  const std::string live = hidden("live"), input = hidden("input"), dead = hidden("dead");
  p.fs.inodes[p.fs.names[live]].lock = FakeFileSystem::kElsewhere;
  p.protect.input = input;
  p.fs.Put(kTemp, {7});
  const std::string planted = HiddenNameForFile("out/", p.fs.Look(kTemp, false).facts.id);
  const std::string written = RandomHiddenNameOf("out/", 1), held = RandomHiddenNameOf("out/", 2);
  const std::vector<std::string> kept = {
      live,    input, "out/.kv2pelmo-backup", "out/.kv2pelmo-000000000000000a.tmp", planted,
      written, held};
  for (std::size_t i = 2; i < kept.size(); ++i) p.fs.Put(kept[i], {4});
  p.fs.inodes[p.fs.names[held]].bytes.clear();
  p.fs.inodes[p.fs.names[held]].lock = FakeFileSystem::kElsewhere;
  const std::string died = RandomHiddenNameOf("out/", 3);
  p.fs.Put(died, {});
  p.Convert("out/fw.fls");
  p.ExpectOutput("out/fw.fls");
  for (const std::string& name : kept) EXPECT_TRUE(p.fs.Has(name)) << name;
  EXPECT_FALSE(p.fs.Has(dead));
  EXPECT_FALSE(p.fs.Has(died));
}

// Across volumes, with nameless files, with hidden names only (FAT), and as
// Windows does it: the copy is whole and synced before it has the name.
TEST(TemporaryImageTest, CopiesAcrossVolumesAreNamedWholeAndSynced) {
  for (const auto& [links, exclusive] : {std::pair{true, false}, {false, false}, {true, true}}) {
    Policy p;
    p.fs.exclusive_opens = exclusive;
    p.fs.directories["out/"] = {true, false, 1, links};
    p.fs.Put("out/fw.fls", {6});
    p.fs.fail_copies = true;  // the old output stays
    EXPECT_EQ(p.Failure("out/fw.fls").first, FileError::Kind::kRename);
    EXPECT_EQ(p.fs.Bytes("out/fw.fls"), Bytes{6});
    p.fs.fail_copies = false;
    p.fs.log.clear();
    p.Convert("out/fw.fls");
    p.ExpectOutput("out/fw.fls");
    EXPECT_EQ(p.fs.List("out/"), std::vector<std::string>{"fw.fls"});
    std::vector<std::string> steps;
    std::copy_if(p.fs.log.begin(), p.fs.log.end(), std::back_inserter(steps),
                 [](const std::string& entry) {
                   return entry.rfind("sync", 0) == 0 || entry == "name out/fw.fls";
                 });
    EXPECT_EQ(steps, (std::vector<std::string>{"sync tempdct3.tmp", "sync copy", "name out/fw.fls",
                                               "sync directory out/"}));
  }
}

// Where a write past the end is refused, the gap's zeros are written: in
// the image and in its copy across volumes.
TEST(TemporaryImageTest, GapsAreWrittenWhereWritesPastTheEndAreRefused) {
  Policy p;
  p.fs.refuse_writes_past_end = true;
  p.fs.directories["out/"] = {true, false, 1, false};
  std::unique_ptr<TemporaryImage> image = p.Take();
  image->Stream().WriteExactly(kImage.data(), kImage.size());
  image->Stream().Seek(0x300000);
  image->Stream().WriteExactly(kImage.data(), kImage.size());
  image->Sync();
  image->MoveTo("out/fw.fls");
  Bytes expected(0x300000 + kImage.size(), 0);
  std::copy(kImage.begin(), kImage.end(), expected.begin());
  std::copy(kImage.begin(), kImage.end(), expected.begin() + 0x300000);
  EXPECT_EQ(p.fs.Bytes("out/fw.fls"), expected);
}

// Once named, a failing close (as NFS reports late) fails nothing; a name
// swapped before the naming fails it, and nothing is named.
TEST(TemporaryImageTest, WhatComesAfterTheNameFailsNothing) {
  Policy p;
  p.fs.fail_close = true;
  p.Convert("fw.fls");
  EXPECT_EQ(p.fs.Bytes("fw.fls"), kImage);
  Policy swapped;
  std::unique_ptr<TemporaryImage> image = swapped.Take();
  swapped.fs.Rename(kTemp, "aside");
  swapped.fs.Put(kTemp, {5});
  EXPECT_THROW(image->MoveTo("fw.fls"), FileError);
  EXPECT_FALSE(swapped.fs.Has("fw.fls"));
}

}  // namespace
}  // namespace kv2pelmo
