// Windows only: the pipe lets in the server's own user and the system alone. What wine can
// show is the pipe's access list and a client of that user being served; that another user
// and another machine are turned away, only Windows can show.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/log_server_fixture.h"

namespace test {
namespace {

// The SID of the user this process runs as, in `buffer`.
PSID OwnUser(char (&buffer)[256]) {
  HANDLE token;
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  bool read = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size);
  CloseHandle(token);
  return read ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid : nullptr;
}

TEST(PipeSecurity, AccessListGivesTheServersUserAndTheSystemAloneAndThatUserIsServed) {
  ScratchDir dir;
  LogServer server(dir);
  ASSERT_TRUE(server.Start());
  // The first instance may come a moment after the ready byte.
  HANDLE pipe = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(PollUntil([&] {
    pipe = CreateFileA(server.pipe.c_str(), GENERIC_WRITE | READ_CONTROL, 0, NULL, OPEN_EXISTING, 0,
                       NULL);
    return pipe != INVALID_HANDLE_VALUE;
  })) << "error "
      << GetLastError();

  char user_buffer[256];
  PSID user = OwnUser(user_buffer);
  ASSERT_NE(user, nullptr);
  PACL access = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &access,
                            NULL, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(access, nullptr) << "no access list lets everyone in";
  EXPECT_EQ(access->AceCount, 2);
  for (WORD i = 0; i < access->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    ASSERT_TRUE(GetAce(access, i, reinterpret_cast<void**>(&entry)));
    ASSERT_EQ(entry->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
    PSID trustee = &entry->SidStart;
    EXPECT_TRUE(EqualSid(trustee, user) || IsWellKnownSid(trustee, WinLocalSystemSid))
        << "entry " << i << " lets in someone else";
  }
  LocalFree(descriptor);

  DWORD written = 0;
  EXPECT_TRUE(WriteFile(pipe, "own user\n", 9, &written, NULL));
  CloseHandle(pipe);
  ASSERT_TRUE(server.WaitForClientsDone(1));
  EXPECT_EQ(ReadWholeFile(server.log), "own user\n");
  EXPECT_EQ(server.Stop(), 1);
}

}  // namespace
}  // namespace test
