/* Files made, reopened and renamed in folders that others may write to, at the edges of
** their paths: names that are no plain ASCII, a drive's root, folders and final paths of the
** longest kind, a name that leads elsewhere, an ntdll without the call that renames. */
#include <functional>

#include "fixture.h"
#include "platform/newfile.h"

int hw_fclose(FILE *fp); /* the stand-in's, as the launcher's own fclose */

enum Op { Create, Reopen, Rename };

static bool Done(Op op, const std::string &path, const std::string &to = "")
{
    FILE *fp = op == Create   ? CreateNewTextStream(path.c_str())
               : op == Reopen ? ReopenPlainFileForAppend(path.c_str())
                              : nullptr;
    if (fp != nullptr)
        hw_fclose(fp);
    if (op == Rename)
        return RenameInFolder(path.c_str(), to.c_str()) == 0;
    return fp != nullptr;
}

/* A folder's path of len characters, at most 150 to a name. */
static std::string FolderOf(size_t len)
{
    std::string dir = "C:";
    while (dir.size() < len)
        dir += "\\" + std::string(std::min<size_t>(150, len - dir.size() - 1), 'd');
    return dir;
}

TEST_F(LauncherTest, FilesInFoldersOthersMayWriteToAreTouchedOnlyWhereTheirPathsSay)
{
    const std::string log = "C:\\Temp\\a.log", evil = "C:\\WINDOWS\\evil.dll";
    /* The file's final path, "\\?\" and where it really lies, takes at most 1023 characters. */
    auto linked = [](size_t real) {
        hw::MakeDir(FolderOf(real));
        hw::SymLink(FolderOf(real), "C:\\L");
    };
    const std::tuple<const char *, std::function<void()>, Op, std::string, std::string, bool>
        cases[] = {
            {"a name of plain ASCII", nullptr, Create, "C:\\Temp\\l\x7f", "", true},
            {"a byte from 0x80 up", nullptr, Create, "C:\\Temp\\l\x80", "", false},
            {"no name", nullptr, Create, "C:\\Temp\\", "", false},
            {"no folder", nullptr, Create, "l.log", "", false},
            {"the current drive's root", nullptr, Create, "\\l.log", "", false},
            {"a drive's root", nullptr, Create, "C:\\l.log", "", true},
            {"a folder of 299 bytes with its backslash", [] { hw::MakeDir(FolderOf(298)); }, Create,
             FolderOf(298) + "\\l", "", true},
            {"one more", [] { hw::MakeDir(FolderOf(299)); }, Create, FolderOf(299) + "\\l", "",
             false},
            {"a final path that just fits", [&] { linked(1017); }, Reopen, "C:\\L\\l", "", true},
            {"a folder's final path that does not", [&] { linked(1020); }, Reopen, "C:\\L\\l", "",
             false},
            {"a name in capitals", [&] { hw::WriteFile("C:\\Temp\\A.LOG", ""); }, Reopen, log, "",
             true},
            {"a name that leads to a missing file",
             [&] {
                 hw::MakeDir("C:\\WINDOWS");
                 hw::SymLink(evil, log, true);
             },
             Reopen, log, "", false},
            {"a new name of MAX_PATH - 1 characters", [&] { hw::WriteFile(log, ""); }, Rename, log,
             "C:\\Temp\\" + std::string(MAX_PATH - 1, 'n'), true},
            {"of MAX_PATH", [&] { hw::WriteFile(log, ""); }, Rename, log,
             "C:\\Temp\\" + std::string(MAX_PATH, 'n'), false},
            {"ntdll without its rename",
             [&] {
                 hw::WriteFile(log, "");
                 hw::SetLibrary("ntdll.dll", true, {});
             },
             Rename, log, "C:\\Temp\\m.log", false},
        };
    for (const auto &[what, setup, op, path, to, done] : cases) {
        NewMachine();
        if (setup)
            setup();
        EXPECT_EQ(done, Done(op, path, to)) << what;
        EXPECT_FALSE(hw::Exists(evil)) << what;
        EXPECT_EQ(0, hw::LeftOpen()) << what;
    }
}
