#pragma once
// The IDs of a provisioning lot, as --ids gives them: ranges and single numbers
// ("1-20,30,40-45"), each a device ID 0..255. Pure: no I/O.

#include <string>
#include <vector>

struct TIdPool {
    std::vector<int> Ids; // ascending, each once: the order they are handed out in
    // The pool in its shortest form ("1-20,30,40-45"), whatever spelling it was given in:
    // what the journal keeps to tell one lot from another.
    std::string Text() const;
};

// Reads text into pool. Returns the refusal naming the item, empty on success:
// "item 3 '40-30': a range runs upwards (write 30-40)", "item 2 '256': a device ID is
// 0..255", "item 2 '5-9' overlaps item 1 '1-6' (5 is in both)", "item 2 is empty",
// "no IDs given". Blanks around items and around the dash are allowed.
std::string ParseIdPool(const std::string& text, TIdPool& pool);
