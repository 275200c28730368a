#include "storage_path.hpp"

#include <gtest/gtest.h>

#include "error.hpp"
#include "scratch_directory.hpp"

namespace caddistransfer {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDirectory;

TEST(PathFromFileUrl, AcceptsLocalFileUrls) {
  EXPECT_EQ(PathFromFileUrl("file:///srv/data"), "/srv/data");
  EXPECT_EQ(PathFromFileUrl("file:///srv/data/"), "/srv/data");
  EXPECT_EQ(PathFromFileUrl("file://localhost/srv/data"), "/srv/data");
  EXPECT_EQ(PathFromFileUrl("file:///srv/my%20data/%C3%A9"), "/srv/my data/\xC3\xA9");
  EXPECT_EQ(PathFromFileUrl("file:///"), "/");
}

TEST(PathFromFileUrl, RefusesEverythingElse) {
  for (const char* url : {"http://example.org/x", "/srv/data", "file://server/share", "file://", "file:///a%2", "file:///a%zz",
                          "file:///a%00b", "file:///a?x=1", "FILE:///a"}) {
    EXPECT_THROW(PathFromFileUrl(url), PermanentError) << url;
  }
}

TEST(ResolveInside, KeepsRelativeNamesInsideTheRoot) {
  EXPECT_EQ(ResolveInside("/root", "a/b.nivra"), "/root/a/b.nivra");
  EXPECT_EQ(ResolveInside("/root", "./a//b.nivra"), "/root/a/b.nivra");
}

TEST(ResolveInside, RefusesEscapesAbsoluteAndEmptyNames) {
  for (const char* name : {"../x", "a/../../x", "a/..", "..", "/etc/passwd", "//x", "", ".", "./"}) {
    EXPECT_THROW(ResolveInside("/root", name), PermanentError) << name;
  }
}

TEST(CheckContained, CatchesSymbolicLinksLeadingOut) {
  ScratchDirectory scratch;
  const fs::path root = scratch / "root";
  const fs::path outside = scratch / "outside";
  fs::create_directories(root / "inner");
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, root / "link");
  EXPECT_NO_THROW(CheckContained(root, root / "inner" / "file"));
  EXPECT_NO_THROW(CheckContained(root, root / "new-file"));
  EXPECT_THROW(CheckContained(root, root / "link" / "file"), PermanentError);
  EXPECT_THROW(CheckContained(root, root), PermanentError);
  EXPECT_THROW(CheckContained(scratch / "missing-root", scratch / "missing-root" / "x"), TransferError);
}

}  // namespace
}  // namespace caddistransfer
