// Win32 backend only (and the tools' support for it): the one lock that every
// child-starting call of this process holds.
#pragma once

namespace platform {

/// Held while handles meant for one new child are inheritable and that child is created,
/// so that no other child started by this process at the same moment inherits them.
void AcquireInheritLock();
void ReleaseInheritLock();

}  // namespace platform
