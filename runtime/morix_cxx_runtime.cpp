// The few C++ runtime pieces the shipped program needs, so that it links no
// prebuilt libstdc++ (which is Pentium Pro code and pulls in the runtime's
// thread and exception support).
//
// The program is built without exceptions and reports its failures as bool
// results. What would have thrown is a broken invariant or an exhausted heap:
// the process ends, as it did when such an exception went uncaught.
#include <windows.h>

#include <cstdlib>
#include <new>

namespace
{

// The exit code of an uncaught exception's abort; no window, no message box.
const UINT c_uAbortExitCode = 3;

[[noreturn]] void EndProcess()
{
    ExitProcess(c_uAbortExitCode);
    for (;;)
    {
    }
}

void* Allocate(std::size_t cbSize)
{
    return std::malloc(cbSize != 0 ? cbSize : 1);
}

} // namespace

namespace std
{

const nothrow_t nothrow{};

void __throw_bad_alloc()
{
    EndProcess();
}
void __throw_bad_array_new_length()
{
    EndProcess();
}
void __throw_length_error(const char*)
{
    EndProcess();
}
void __throw_logic_error(const char*)
{
    EndProcess();
}
void __throw_out_of_range(const char*)
{
    EndProcess();
}
void __throw_out_of_range_fmt(const char*, ...)
{
    EndProcess();
}
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept
{
    EndProcess();
}

} // namespace std

void* operator new(std::size_t cbSize)
{
    void* pv = Allocate(cbSize);
    if (pv == nullptr)
    {
        EndProcess();
    }
    return pv;
}

void* operator new[](std::size_t cbSize)
{
    return operator new(cbSize);
}

void* operator new(std::size_t cbSize, const std::nothrow_t&) noexcept
{
    return Allocate(cbSize);
}

void* operator new[](std::size_t cbSize, const std::nothrow_t&) noexcept
{
    return Allocate(cbSize);
}

void operator delete(void* pv) noexcept
{
    std::free(pv);
}

void operator delete[](void* pv) noexcept
{
    std::free(pv);
}

void operator delete(void* pv, std::size_t) noexcept
{
    std::free(pv);
}

void operator delete[](void* pv, std::size_t) noexcept
{
    std::free(pv);
}

void operator delete(void* pv, const std::nothrow_t&) noexcept
{
    std::free(pv);
}

void operator delete[](void* pv, const std::nothrow_t&) noexcept
{
    std::free(pv);
}
