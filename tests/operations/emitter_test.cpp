// "+#": the deflatedStream array text, byte for byte, and its failures, in
// this process and through the built executable.
#include <cstdio>
#include <string>

#include "support/container_fixture.h"
#include "operations/emitter.h"

namespace {

class Emitter : public ct::ContainerTest {
 protected:
  // The text laid out from the compressed bytes: 16 values a line, a comma
  // after every value but the last.
  static std::string expected_text(const std::string& z) {
    std::string t = "char deflatedStream[]={\n\t";
    for (size_t i = 0; i < z.size(); ++i) {
      char v[8];
      std::snprintf(v, sizeof v, "0x%02X", static_cast<unsigned char>(z[i]));
      t += v;
      if (i + 1 < z.size()) t += (i + 1) % 16 == 0 ? ",\n\t" : ",";
    }
    return t + "\n};\n";
  }
  static std::string hex_byte(char c) {
    char v[4];
    std::snprintf(v, sizeof v, "%02X", static_cast<unsigned char>(c));
    return v;
  }
  // An input whose level-9 stream is exactly `m` bytes long.
  static std::string input_compressing_to(size_t m) {
    for (size_t n = 0; n < 64; ++n) {
      std::string s;
      for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('!' + (i * 37) % 90));
      if (vt::zcompress(s).size() == m) return s;
    }
    return "";
  }
};

TEST_F(Emitter, SixteenBytesMakeOneFullLine) {
  std::string in = input_compressing_to(16);
  ASSERT_FALSE(in.empty());
  vt::write_file("in.bin", in);
  ASSERT_EQ(emit_deflated_source("in.bin", "deflated"), 0);
  std::string text = vt::read_file("deflated");
  EXPECT_EQ(text, expected_text(vt::zcompress(in)));
  // One line of values, the last without a comma, and no empty line.
  EXPECT_EQ(text.size(), 25 + 16 * 5 - 1 + 4);
  EXPECT_EQ(text.find("\n\t", 25), std::string::npos);
  const std::string last = "0x" + hex_byte(vt::zcompress(in).back());
  EXPECT_EQ(text.substr(text.size() - 8), last + "\n};\n");
  EXPECT_FALSE(vt::file_exists("deflated.tmp"));
}

TEST_F(Emitter, SeventeenBytesWrapOneValue) {
  std::string in = input_compressing_to(17);
  ASSERT_FALSE(in.empty());
  vt::write_file("in.bin", in);
  ASSERT_EQ(emit_deflated_source("in.bin", "deflated"), 0);
  std::string text = vt::read_file("deflated");
  EXPECT_EQ(text, expected_text(vt::zcompress(in)));
  size_t br = text.find(",\n\t", 25);
  ASSERT_NE(br, std::string::npos);
  EXPECT_EQ(br, 25u + 16 * 5 - 1);
  EXPECT_EQ(text.size(), br + 3 + 4 + 4);  // one value, then "\n};\n"
}

TEST_F(Emitter, EmptyAndLargeInputs) {
  vt::write_file("empty", "");
  ASSERT_EQ(emit_deflated_source("empty", "deflated"), 0);
  std::string z = vt::zcompress("");
  EXPECT_EQ(z.size(), 8u);
  EXPECT_EQ(vt::read_file("deflated"), expected_text(z));

  // Replaces an older, longer output completely.
  std::string big;
  for (int i = 0; i < 20000; ++i) big += std::to_string(i * 2654435761u % 100000) + ";";
  vt::write_file("big", big);
  vt::write_file("deflated", std::string(3000000, 'x'));
  ASSERT_EQ(emit_deflated_source("big", "deflated"), 0);
  EXPECT_EQ(vt::read_file("deflated"), expected_text(vt::zcompress(big)));
  // The input may be the output itself.
  vt::write_file("self", "abcabcabc");
  ASSERT_EQ(emit_deflated_source("self", "self"), 0);
  EXPECT_EQ(vt::read_file("self"), expected_text(vt::zcompress("abcabcabc")));
}

TEST_F(Emitter, FailuresLeaveNoPartialOutput) {
  EXPECT_EQ(emit_deflated_source("missing", "deflated"), -1);
  EXPECT_FALSE(vt::file_exists("deflated"));
  vt::make_dir("folder");
  EXPECT_EQ(emit_deflated_source("folder", "deflated"), -1);
  EXPECT_FALSE(vt::file_exists("deflated"));

  vt::write_file("in", std::string(100000, 'k') + "tail");
  EXPECT_EQ(emit_deflated_source("in", "no/such/folder/deflated"), -1);

  // A write failing at any point: the previous output stays as it was.
  vt::write_file("deflated", "previous");
  for (int nth = 1; nth <= 4; ++nth) {
    pf_fault_arm(PF_FAULT_WRITE, nth);
    EXPECT_EQ(emit_deflated_source("in", "deflated"), -1) << nth;
    pf_fault_clear();
    EXPECT_EQ(vt::read_file("deflated"), "previous") << nth;
    EXPECT_FALSE(vt::file_exists("deflated.tmp")) << nth;
  }
  pf_fault_arm(PF_FAULT_RENAME, 1);
  EXPECT_EQ(emit_deflated_source("in", "deflated"), -1);
  pf_fault_clear();
  EXPECT_EQ(vt::read_file("deflated"), "previous");
  EXPECT_FALSE(vt::file_exists("deflated.tmp"));
  pf_fault_arm(PF_FAULT_READ, 1);
  EXPECT_EQ(emit_deflated_source("in", "deflated"), -1);
  pf_fault_clear();
  EXPECT_EQ(vt::read_file("deflated"), "previous");
}

// The text is built under "<output>.tmp": an input of that very name must
// neither be truncated by it nor pass as an empty input.
TEST_F(Emitter, InputNamedLikeTheTemporaryFileIsKept) {
  vt::write_file("deflated.tmp", "the input itself");
  int r = emit_deflated_source("deflated.tmp", "deflated");
  EXPECT_EQ(vt::read_file("deflated.tmp"), "the input itself");
  if (r == 0) {
    EXPECT_EQ(vt::read_file("deflated"), expected_text(vt::zcompress("the input itself")));
  } else {
    EXPECT_EQ(r, -1);
    EXPECT_FALSE(vt::file_exists("deflated"));
  }
}

TEST_F(Emitter, WriteFormattedReportsShortWrites) {
  int fd = pf_open_create("f.txt");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write_formatted(fd, "0x%02X,%s", 0xAB, "ok"), 0);
  EXPECT_EQ(write_formatted(fd, "%s", ""), 0);
  pf_fault_arm(PF_FAULT_WRITE, 1);
  EXPECT_EQ(write_formatted(fd, "x"), -1);
  pf_fault_clear();
  // A piece longer than the format buffer is refused, not cut.
  std::string huge(500, 'h');
  EXPECT_EQ(write_formatted(fd, "%s", huge.c_str()), -1);
  pf_close(fd);
  EXPECT_EQ(vt::read_file("f.txt"), "0xAB,ok");
}

class Cli : public Emitter {};

TEST_F(Cli, EmitWritesDeflatedOrFails) {
  vt::write_file("in.bin", "some input to compress, some input to compress");
  EXPECT_EQ(vt::vorn({"new.vrn", "+#in.bin"}), 0);
  EXPECT_EQ(vt::read_file("deflated"), expected_text(vt::zcompress(vt::read_file("in.bin"))));
  EXPECT_FALSE(vt::file_exists("new.vrn"));

  vt::write_file("deflated", "older");
  EXPECT_EQ(vt::vorn({"new.vrn", "+#missing.bin"}), vt::FAIL);
  EXPECT_EQ(vt::read_file("deflated"), "older");
}

}  // namespace
