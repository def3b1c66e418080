// The README shows what the program prints: its examples and every message, checked by real runs.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cli/messages.h"
#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

std::string Readme() {
  std::ifstream in(std::string(KV2PELMO_SOURCE_DIR) + "/README.md");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Returns the text of every fenced block between the headings from and to.
std::vector<std::string> Blocks(const std::string& text, const std::string& from = "# ",
                                const std::string& to = "\n## More") {
  std::vector<std::string> blocks;
  const std::size_t end = text.find(to);
  for (std::size_t at = text.find("```\n", text.find(from)); at < end;) {
    const std::size_t close = text.find("\n```", at + 4);
    blocks.push_back(text.substr(at + 4, close - at - 3));
    at = text.find("```\n", close + 4);
  }
  return blocks;
}

class Docs : public EndToEndTest {
 protected:
  // Runs the program as the README's "$ kv2pelmo ..." line says, beside a copy of the examples.
  ProgramResult RunAsShown(const std::string& command, const RunLimits& limits = {}) {
    CopyExamples();
    std::istringstream words(command.substr(std::string("$ kv2pelmo ").size()));
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    return Run(args, limits);
  }
  // Returns the folder of a fresh copy of the example pair.
  std::filesystem::path CopyExamples() {
    std::filesystem::create_directories(dir_ / "examples");
    for (const char* name : {"npm5nx03.480", "npm5nx03.48g"}) {
      std::filesystem::copy_file(std::string(KV2PELMO_SOURCE_DIR) + "/examples/" + name,
                                 dir_ / "examples" / name,
                                 std::filesystem::copy_options::overwrite_existing);
    }
    return dir_ / "examples";
  }
  // Returns what converting input (with alignator, when given) prints.
  std::string Refusal(const Bytes& input, const Bytes& alignator = {}) {
    Write("fw.480", input);
    std::vector<std::string> args = {"fw.480"};
    if (!alignator.empty()) Write("fw.48g", alignator);
    if (!alignator.empty()) args.emplace_back("fw.48g");
    return Run(args).out;
  }
};

TEST_F(Docs, TheReadmesExamplesPrintWhatItShows) {
  int examples = 0;
  for (const std::string& block : Blocks(Readme())) {
    if (block.rfind("$ kv2pelmo ", 0) != 0) continue;
    const std::size_t line_end = block.find('\n');
    EXPECT_EQ(RunAsShown(block.substr(0, line_end)).out, block.substr(line_end + 1) + "\n");
    ++examples;
  }
  EXPECT_EQ(examples, 2);
}

// Each message is made by a run that meets its cause, or, for those only
// Windows or another user meet, by the program's own wording; each must stand
// in the README as printed, and the README shows no other.
TEST_F(Docs, TheReadmeShowsEveryMessageAsPrinted) {
  const Bytes good = Record(0x200000, {7, 7}).Build();
  const Bytes bad_header = {0x0B, 0x20, 0x00, 0x00, 0xF6, 0x00, 0x00, 0x04, 0xE4, 1, 2, 3, 4};
  RunLimits notices;
  notices.stdout_path = "/dev/null";
  std::vector<std::string> printed = {
      Refusal(Join({good, Record(0x200010, {1}).WithId(0x0A).Build()})),
      Refusal(Join({good, bad_header})),
      Refusal(Join({good, Record(0x200010, {1, 2, 3, 4}).WithDataChecksum(0x0A).Build()})),
      Refusal(Join({Record(0x200000, Counting(5)).Build(), {0x0B, 0x20}})),
      Refusal(BlockFile({Record(0x200000, {1}), Record(0x1FFFF0, {2, 3})})),
      Refusal({}),
      Refusal(BlockFile({Record(0x200000, {}), Record(0x200010, {})})),
      Refusal(good, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}),
      Refusal(good, Record(0x3A0000, {1, 2}).WithHeaderChecksum(0x12).Build()),
      Run({"gone.480"}).out,
      Run({"fw.480", "gone.48g"}).out,
      RunProgram(CopyExamples(), {"npm5nx03.48g", "npm5nx03.480"}, notices).out,
      DeviceMessage(false),
      LossyArgumentMessage(0),
      FileErrorMessage(NamingError(FileError::Kind::kCreate, "tempdct3.tmp", "",
                                   NamingError::Cause::kNotRemovable)),
      FileErrorMessage(NamingError(FileError::Kind::kCreate, "tempdct3.tmp", "",
                                   NamingError::Cause::kInUseUnknown))};
  // Windows': before the plain rename failure, whose line they begin with.
  for (const auto reason : {FileError::Reason::kHeld, FileError::Reason::kDenied}) {
    printed.push_back(FileErrorMessage(FileError(FileError::Kind::kOpen, "fw.480", reason)));
    printed.push_back(FileErrorMessage(
        FileError(FileError::Kind::kRename, "tempdct3.tmp", "fw_MCU_00200000.fls", reason)));
  }
  std::filesystem::create_symlink("loop.480", dir_ / "loop.480");
  printed.push_back(Run({"loop.480"}).out);
  std::filesystem::remove(dir_ / "tempdct3.tmp");  // the refusals' leftover
  std::filesystem::create_symlink("elsewhere", dir_ / "tempdct3.tmp");
  printed.push_back(Run({"fw.480"}).out);
  std::filesystem::remove(dir_ / "tempdct3.tmp");
  RunLimits small;
  small.max_file_size = 1000;
  Write("fw.480", Record(0x200000, Counting(3000)).Build());
  printed.push_back(Run({"fw.480"}, small).out);
  printed.push_back("Error: Out of memory.\n\n");  // no input makes it run out any more
  Write("fw.480", good);
  std::filesystem::create_directory(dir_ / "fw_MCU_00200000.fls");
  const std::string renaming = Run({"fw.480"}).out;
  printed.push_back(renaming.substr(renaming.find("Error: ")));
  Write(std::string(245, 'k') + ".480", good);
  printed.push_back(Run({std::string(245, 'k') + ".480"}).out);

  std::string shown;
  for (const std::string& block :
       Blocks(Readme(), "## When something goes wrong", "## What it guarantees")) {
    shown += block;
  }
  for (std::string message : printed) {
    if (message.rfind(kBanner, 0) == 0) message.erase(0, kBanner.size());
    while (!message.empty() && message.back() == '\n') message.pop_back();
    EXPECT_NE(shown.find(message + "\n"), std::string::npos) << message;
    for (std::size_t at; (at = shown.find(message + "\n")) != std::string::npos;) {
      shown.erase(at, message.size() + 1);
    }
  }
  EXPECT_EQ(shown, "") << "shown in the README, printed by no case";
}

}  // namespace
}  // namespace kv2pelmo::test
