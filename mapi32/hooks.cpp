#include "mapi32/hooks.h"

#include <atomic>

namespace dravik::mapi32 {
namespace {
std::atomic<IProfileChooser*> g_chooser{nullptr};
std::atomic<IStorePasswordPrompt*> g_password{nullptr};
} // namespace

void SetProfileChooser(IProfileChooser* chooser) { g_chooser.store(chooser); }
IProfileChooser* GetProfileChooser() { return g_chooser.load(); }
void SetStorePasswordPrompt(IStorePasswordPrompt* prompt) { g_password.store(prompt); }
IStorePasswordPrompt* GetStorePasswordPrompt() { return g_password.load(); }

} // namespace dravik::mapi32
