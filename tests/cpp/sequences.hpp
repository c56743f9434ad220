// Sequences for the tests' tables, from vectors.
#pragma once

#include <algorithm>
#include <vector>

#include "piecewise/sequence.hpp"

// Owned and exactly as long as v, so that a read past either end is a
// sanitizer's to find.
template <class T>
rust::Sequence<T> to_sequence(const std::vector<T>& v) {
    rust::Sequence<T> s = rust::Sequence<T>::uninitialised(v.size());
    std::copy(v.begin(), v.end(), s.fill_data());
    return s;
}
