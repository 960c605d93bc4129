#pragma once
// A list of strings with an optional object per entry. Lookup and sorting compare as
// text without regard to letter case unless CaseSensitive is set.

#include <string>
#include <vector>

namespace portvale {

class TStringList {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& Strings(int index) const;  // EListError when out of range
    void SetStrings(int index, const std::string& text);
    void* Objects(int index) const;
    void SetObjects(int index, void* object);
    const std::string& operator[](int index) const { return Strings(index); }

    // Appends, or inserts at the sorted position when Sorted; returns the index.
    int Add(const std::string& text, void* object = nullptr);
    void Insert(int index, const std::string& text, void* object = nullptr);
    void Delete(int index);
    void Clear() { items_.clear(); }
    int IndexOf(const std::string& text) const;

    bool Sorted() const { return sorted_; }
    void SetSorted(bool sorted);
    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool caseSensitive);
    // Stable sort as text (case-insensitive unless CaseSensitive).
    void Sort();

    // Entries joined with "\n" after each; setting splits on LF and CRLF.
    std::string Text() const;
    void SetText(const std::string& text);

private:
    struct Item {
        std::string text;
        void* object;
    };
    int Compare(const std::string& a, const std::string& b) const;
    void CheckIndex(int index) const;

    std::vector<Item> items_;
    bool sorted_ = false;
    bool caseSensitive_ = false;
};

}  // namespace portvale
