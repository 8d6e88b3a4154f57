// The kept passphrase texts are wiped before their memory goes back to the allocator. The test
// program's own operator delete looks at a watched block just before it frees it, while the block
// is still allocated, so nothing reads memory that is no longer the program's.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "dialog/MainDialogLogic.h"
#include "tests/dialog/DialogTestSupport.h"

namespace {

struct Watch {
    std::atomic<const void*> block{nullptr};
    std::atomic<std::size_t> length{0};
    std::atomic<int> freed{0};  // 1 wiped, -1 not wiped
};

Watch watches[2];

void Inspect(void* block) noexcept {
    for (Watch& watch : watches) {
        if (block != nullptr && watch.block.load() == block) {
            const auto* bytes = static_cast<const unsigned char*>(block);
            const bool wiped =
                std::all_of(bytes, bytes + watch.length.load(), [](unsigned char b) { return b == 0; });
            watch.freed = wiped ? 1 : -1;
            watch.block = nullptr;
        }
    }
}

void StartWatching(Watch& watch, const std::string& text) {
    watch.freed = 0;
    watch.length = text.size();
    watch.block = text.data();
}

}  // namespace

// The replacements pair malloc with free, which is what GCC's warning on a mismatched pair cannot
// see through once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    Inspect(block);
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    Inspect(block);
    std::free(block);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace morvex::test {

TEST(DialogSecrets, KeptTextsAreWipedBeforeTheirMemoryIsFreed) {
    FakeDialogView view;
    auto logic = std::make_unique<MainDialogLogic>(view, NativePlatform());
    // Longer than the string's inline buffer, so that the texts live in blocks of their own.
    const std::string first(20, 'p');
    const std::string second(20, 'r');
    logic->FirstFieldChanged(first, second);

    // A longer text needs a larger block: the old one is freed, and must hold nothing by then.
    const void* before = logic->State().choice.passphrase.data();
    StartWatching(watches[0], logic->State().choice.passphrase);
    logic->FirstFieldChanged(std::string(55, 'q'), second);
    ASSERT_NE(logic->State().choice.passphrase.data(), before)
        << "the text kept its block; nothing was freed";
    EXPECT_EQ(watches[0].freed, 1);

    // The end of the dialog: both texts.
    StartWatching(watches[0], logic->State().choice.passphrase);
    StartWatching(watches[1], logic->State().choice.retype);
    logic.reset();
    EXPECT_EQ(watches[0].freed, 1);
    EXPECT_EQ(watches[1].freed, 1);
}

}  // namespace morvex::test
