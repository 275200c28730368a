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

TEST(CheckStorageRootDirectory, RefusesTheWholeFileSystemAndWhatIsNoFolder) {
  ScratchDirectory scratch;
  fs::create_directories(scratch / "root");
  testing::WriteFile(scratch / "file", "x");
  fs::create_directory_symlink("/", scratch / "slash");
  EXPECT_NO_THROW(CheckStorageRootDirectory(scratch / "root"));
  for (const fs::path& root : {fs::path("/"), scratch / "slash", scratch / "root" / ".." / ".." / ".." / ".." / "..",
                               scratch / "file", scratch / "missing"}) {
    EXPECT_THROW(CheckStorageRootDirectory(root), PermanentError) << root;
  }
}

}  // namespace
}  // namespace caddistransfer
