// Runs on the program's own start-up and checks what it promises: every static
// object is constructed before WinMain and destroyed after it, in reverse
// order, however many there are (the Morix has more than a hundred), and
// WinMain's result is the exit code. Exit code 42 means all of it held;
// anything else names what did not.
#include <windows.h>

namespace
{

const int c_nFirst = 100;
const int c_nProbes = 300;

int s_nConstructed = 0;
int s_nNextToDestroy = c_nFirst + c_nProbes - 1;
bool s_fWinMainReturned = false;

void Fail(UINT uCode)
{
    ExitProcess(uCode);
}

struct Probe
{
    explicit Probe(int n) : m_n(n)
    {
        if (n != c_nFirst + s_nConstructed)
            Fail(2); // constructed out of order
        ++s_nConstructed;
    }
    ~Probe()
    {
        if (!s_fWinMainReturned)
            Fail(3); // destroyed before WinMain returned
        if (m_n != s_nNextToDestroy)
            Fail(4); // a destructor was skipped or ran out of order
        --s_nNextToDestroy;
    }
    int m_n;
};

// Constructed before the probes, so destroyed after all of them: by then
// every probe's destructor must have run.
struct Last
{
    ~Last()
    {
        if (s_nNextToDestroy != c_nFirst - 1)
            Fail(5);
    }
} g_tLast;

// clang-format off
#define PROBE(n) Probe g_tProbe##n(n);
#define PROBES10(d) PROBE(d##0) PROBE(d##1) PROBE(d##2) PROBE(d##3) PROBE(d##4) \
    PROBE(d##5) PROBE(d##6) PROBE(d##7) PROBE(d##8) PROBE(d##9)
#define PROBES100(h) PROBES10(h##0) PROBES10(h##1) PROBES10(h##2) PROBES10(h##3) \
    PROBES10(h##4) PROBES10(h##5) PROBES10(h##6) PROBES10(h##7) PROBES10(h##8) PROBES10(h##9)
PROBES100(1)
PROBES100(2)
PROBES100(3)
// clang-format on

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (s_nConstructed != c_nProbes)
        return 1;
    s_fWinMainReturned = true;
    return 42;
}
