#include "RunKeyAutoRunStore.h"

#include <memory>
#include <string>

#include <QDir>
#include <QFileInfo>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace {
// Whether `sid` is somebody the user has to trust anyway: the user, the object's owner, the
// system, the administrators, the installer service.
bool trusted(PSID sid, PSID owner, PSID user)
{
    if ((owner && EqualSid(sid, owner)) || (user && EqualSid(sid, user)))
        return true;
    static const wchar_t *const names[] = {
        L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
    for (const wchar_t *name : names) {
        PSID known = nullptr;
        if (ConvertStringSidToSidW(name, &known)) {
            const bool same = EqualSid(sid, known);
            LocalFree(known);
            if (same)
                return true;
        }
    }
    return false;
}

// The process's user, for the length of the call.
struct ProcessUser
{
    std::unique_ptr<BYTE[]> buffer;
    PSID sid = nullptr;
    ProcessUser()
    {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        buffer.reset(new BYTE[size ? size : 1]);
        if (size && GetTokenInformation(token, TokenUser, buffer.get(), size, &size))
            sid = reinterpret_cast<TOKEN_USER *>(buffer.get())->User.Sid;
        CloseHandle(token);
    }
};
} // namespace

RunKeyAutoRunStore::RunKeyAutoRunStore()
    : runKey(QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
             QSettings::NativeFormat)
{
}

QString RunKeyAutoRunStore::value(const QString &name)
{
    return runKey.value(name).toString();
}

bool RunKeyAutoRunStore::setValue(const QString &name, const QString &command)
{
    runKey.setValue(name, command);
    return sync() && runKey.value(name).toString() == command;
}

bool RunKeyAutoRunStore::remove(const QString &name)
{
    runKey.remove(name);
    return sync() && !runKey.contains(name);
}

bool RunKeyAutoRunStore::sync()
{
    runKey.sync();
    return runKey.status() == QSettings::NoError;
}

QString RunKeyAutoRunStore::command(const QString &program, const QString &arguments) const
{
    // Always quoted: an unquoted path with blanks lets the shell start "C:\Program.exe".
    // A Windows path cannot hold a double quote, so none needs escaping.
    QString line = QLatin1Char('"') + QDir::toNativeSeparators(program) + QLatin1Char('"');
    if (!arguments.isEmpty())
        line += QLatin1Char(' ') + arguments;
    return line;
}

bool RunKeyAutoRunStore::othersMayWrite(const QString &path) const
{
    // The access list itself: Qt's permission bits cannot tell the system and the
    // administrators, whom the user trusts anyway, from other users.
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &sd)
        != ERROR_SUCCESS)
        return true; // what cannot be checked is not trusted
    // Rights that let somebody put another program in place. In a folder, making a subfolder
    // replaces nothing (every user may do so at the root of a drive); adding a file may
    // (a DLL next to the program is loaded before the system's).
    const bool folder = QFileInfo(path).isDir();
    const ACCESS_MASK replacing = GENERIC_ALL | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | DELETE | FILE_WRITE_DATA
        | (folder ? FILE_DELETE_CHILD : FILE_APPEND_DATA);
    const ProcessUser user;
    // No access list: everybody may do anything. An owner may change the access list at will,
    // so a file or folder of another account is theirs to replace.
    bool others = dacl == nullptr || !owner || !trusted(owner, nullptr, user.sid);
    for (DWORD i = 0; !others && dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE
            || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        auto *allowed = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
        others = (allowed->Mask & replacing) && !trusted(&allowed->SidStart, owner, user.sid);
    }
    LocalFree(sd);
    return others;
}
