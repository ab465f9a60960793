// Steps the loader runs around loading and unloading the utility library.
// Implemented beside the logger; kept apart so the loader does not depend on it.
#pragma once

namespace kelvane {

// Obtains the logger (creating it when needed) and installs its av_log callback.
void InstallLogHookAfterLoad();
// Puts the library's default callback back before the utility library goes away.
void UninstallLogHookBeforeUnload();

}  // namespace kelvane
