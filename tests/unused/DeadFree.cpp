#include "DeadFree.h"

#include "DeadMember.h"

namespace fixture {

void DeadHelper(int) {}
void CalledHelper() {}
int TableEntry(int value) {
    return value;
}
int Overloaded(int value) {
    return value;
}
int Overloaded(double value) {
    return int(value);
}
template <typename T> T Twice(T value) {
    return value + value;
}
void (*hook)(int) = nullptr;

} // namespace fixture

void fixture::Qualified() {}

namespace {

int (*const kTable[])(int) = {fixture::TableEntry};

} // namespace

int UseFreeFunctions() {
    UseFixture();
    fixture::CalledHelper();
    fixture::Qualified();
    return kTable[0](fixture::Overloaded(1)) + fixture::InlineCalled() + fixture::Twice(2);
}
