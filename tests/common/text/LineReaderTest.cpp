#include <QList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <text/LineReader.h>
#include <tests/support/PtyBench.h>

#include <tuple>

namespace {

// Each rule's lines for the same bytes; the long line spans the reader's chunks.
TEST(LineReader, LineRules) {
  const QByteArray longLine(70000, 'x');
  const std::tuple<const char*, QByteArray, QList<QByteArray>, QList<QByteArray>> cases[] = {
      // name, file, lines under LineEnd::Lf, lines under LineEnd::CrOrCrLf
      {"empty file has no lines", "", {}, {}},
      {"CR LF ends a line under both", "a\r\nb\r\n", {"a", "b"}, {"a", "b"}},
      {"last line without end", "a\nb", {"a", "b"}, {"a\nb"}},
      {"lone CR", "a\rb\n", {"a\rb"}, {"a", "b\n"}},
      {"trailing lone CR", "a\r", {"a\r"}, {"a"}},
      {"only the CR right before LF goes", "a\r\r\n", {"a\r"}, {"a", ""}},
      {"empty lines are lines", "\n\r\nx\r", {"", "", "x\r"}, {"\n", "x"}},
      {"lone LF then CR LF", "a\n\r\nb", {"a", "", "b"}, {"a\n", "b"}},
      {"long line across chunks", longLine + "\r\n" + "end", {longLine, "end"}, {longLine, "end"}},
      {"CR at a chunk's end, LF in the next", QByteArray(65535, 'y') + "\r\nz", {QByteArray(65535, 'y'), "z"},
       {QByteArray(65535, 'y'), "z"}},
  };
  QTemporaryDir dir;
  for (const auto& [name, content, lfLines, crLines] : cases) {
    ASSERT_TRUE(writeFile(dir.filePath("f.txt"), content));
    for (const auto& [rule, wanted] : {std::pair{LineEnd::Lf, lfLines}, std::pair{LineEnd::CrOrCrLf, crLines}}) {
      LineReader r(rule);
      ASSERT_TRUE(r.open(dir.filePath("f.txt")));
      QList<QByteArray> read;
      while (!r.atEnd()) read << r.readLine().value_or("<none>");
      EXPECT_EQ(read, wanted) << name << (rule == LineEnd::Lf ? " (LF)" : " (CR)");
      EXPECT_FALSE(r.readLine().has_value()) << name;
      EXPECT_FALSE(r.failed()) << name;
    }
  }
  LineReader missing(LineEnd::Lf);
  EXPECT_FALSE(missing.open(dir.filePath("none.txt")));
  EXPECT_TRUE(missing.atEnd());
}

}  // namespace
