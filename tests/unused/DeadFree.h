#pragma once
// What scripts/check-unused.py must find among free functions: DeadHelper is declared here and
// defined in DeadFree.cpp, and nothing calls it; NeverDefined is only declared. The others are
// live in ways the check must see: called from a source file, taken by address into a table, an
// overloaded name of which one overload is called, defined here and called, defined by its
// qualified name, a template. `hook` points to a function and is none.
namespace fixture {

void DeadHelper(int value);
void NeverDefined();
void CalledHelper();
int TableEntry(int value);
int Overloaded(int value);
int Overloaded(double value);
inline int InlineCalled() {
    return 1;
}
void Qualified();
template <typename T> T Twice(T value);
extern void (*hook)(int);

} // namespace fixture
