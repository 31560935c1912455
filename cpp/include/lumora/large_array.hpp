#pragma once
// Large working arrays of the engines (a whole table of adjusted prices, every date's
// groups): left uninitialised, and backed by huge pages where the system grants them on
// request, so that an array of hundreds of megabytes costs hundreds of page faults rather
// than tens of thousands, and its reads miss the address cache less.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumora {

template <class T>
class LargeArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    LargeArray() = default;
    explicit LargeArray(std::size_t size) : size_(size) {
        constexpr std::size_t kHugePage = std::size_t{2} << 20;
        const std::size_t bytes = size * sizeof(T);
        if (bytes < 2 * kHugePage) {  // small: ordinary pages waste less
            data_.reset(static_cast<T*>(std::malloc(std::max<std::size_t>(bytes, 1))));
        } else {
            const std::size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
            data_.reset(static_cast<T*>(std::aligned_alloc(kHugePage, whole)));
#if defined(__linux__)
            // Only a hint: where it is refused the pages are ordinary ones.
            if (data_) madvise(data_.get(), whole, MADV_HUGEPAGE);
#endif
        }
        if (!data_) throw std::bad_alloc();
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t k) { return data_[k]; }
    const T& operator[](std::size_t k) const { return data_[k]; }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace lumora
