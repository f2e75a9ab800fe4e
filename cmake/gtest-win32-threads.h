// Forced into GoogleTest and the Windows test binaries (not the program).
//
// The program must start on Windows 95 to XP, so the Windows build uses the
// "win32" thread model of MinGW-w64: the "posix" one links winpthreads, which
// imports kernel32 functions of later Windows versions (GetTickCount64). That
// model's libstdc++ has no std::mutex or std::condition_variable, which
// GoogleTest needs for a few internal helpers; these minimal ones serve it.
#pragma once

#include <atomic>
#include <mutex>
#include <condition_variable>

#if defined(_WIN32) && !defined(_GLIBCXX_HAS_GTHREADS)

extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long dwMilliseconds);

namespace std
{

class mutex
{
public:
    mutex() = default;
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    void lock()
    {
        while (m_fLocked.test_and_set(std::memory_order_acquire))
            Sleep(0);
    }
    bool try_lock() { return !m_fLocked.test_and_set(std::memory_order_acquire); }
    void unlock() { m_fLocked.clear(std::memory_order_release); }

private:
    std::atomic_flag m_fLocked = ATOMIC_FLAG_INIT;
};

// Waiting polls: a wake-up may come early, which the interface allows.
class condition_variable
{
public:
    condition_variable() = default;
    condition_variable(const condition_variable&) = delete;
    condition_variable& operator=(const condition_variable&) = delete;

    void notify_one() {}
    void notify_all() {}
    void wait(unique_lock<mutex>& lock)
    {
        lock.unlock();
        Sleep(1);
        lock.lock();
    }
    template <class Predicate> void wait(unique_lock<mutex>& lock, Predicate fnReady)
    {
        while (!fnReady())
            wait(lock);
    }
};

} // namespace std

#endif
