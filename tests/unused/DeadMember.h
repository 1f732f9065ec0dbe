#pragma once
// What scripts/check-unused.py must find among members: Dead is declared and defined and nothing
// calls it; Called is called, once, from Caller, which UseFixture calls (from DeadFree.cpp).
class Fixture {
public:
    void Called();
    void Dead();
    void Caller() { Called(); }
};

inline void Fixture::Called() {}
inline void Fixture::Dead() {}

inline void UseFixture() {
    Fixture().Caller();
}
