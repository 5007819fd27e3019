/* Stores a generic credential in the Windows Credential Manager of the Wine
 * prefix it runs in, as a user does for a proxy that asks for a password:
 *   store_credential.exe <target> <user> <password>
 * The password is kept as UTF-16 without its terminator, as Windows' own
 * tools keep it. The end-to-end tests build it with the launcher's mingw
 * compiler; Wine ships no tool that writes a credential. */
#include <windows.h>
#include <wincred.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  CREDENTIALW c;
  if (argc != 4) return 2;
  ZeroMemory(&c, sizeof c);
  c.Type = CRED_TYPE_GENERIC;
  c.TargetName = argv[1];
  c.UserName = argv[2];
  c.CredentialBlob = (BYTE*)argv[3];
  c.CredentialBlobSize = (DWORD)(wcslen(argv[3]) * sizeof(wchar_t));
  c.Persist = CRED_PERSIST_LOCAL_MACHINE;
  return CredWriteW(&c, 0) ? 0 : 1;
}
