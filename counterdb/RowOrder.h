// The orders of the host, page and referrer lists by a number: the positions of the rows with
// the largest number first, rows with equal numbers in the order they were gathered in.
#pragma once

#include <cstdint>
#include <vector>

std::vector<uint32_t> OrderByDateDescending(const std::vector<double>& dates);
std::vector<uint32_t> OrderByCountDescending(const std::vector<int32_t>& counts);

// The keys these orders sort by, ascending: a row goes before another with a smaller key, or
// with an equal one and an earlier position.
uint64_t DateKeyDescending(double date);
uint64_t CountKeyDescending(int32_t count);
