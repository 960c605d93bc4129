#include "framework/StringList.h"

#include <algorithm>

#include "framework/Exceptions.h"
#include "framework/SysUtils.h"

namespace portvale {

void TStringList::CheckIndex(int index) const {
    if (index < 0 || index >= Count()) throw EListError(index);
}

const std::string& TStringList::Strings(int index) const {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].text;
}

void TStringList::SetStrings(int index, const std::string& text) {
    CheckIndex(index);
    items_[static_cast<std::size_t>(index)].text = text;
}

void* TStringList::Objects(int index) const {
    CheckIndex(index);
    return items_[static_cast<std::size_t>(index)].object;
}

void TStringList::SetObjects(int index, void* object) {
    CheckIndex(index);
    items_[static_cast<std::size_t>(index)].object = object;
}

int TStringList::Compare(const std::string& a, const std::string& b) const {
    return caseSensitive_ ? a.compare(b) : CompareText(a, b);
}

int TStringList::Add(const std::string& text, void* object) {
    if (!sorted_) {
        items_.push_back(Item{text, object});
        return Count() - 1;
    }
    auto at = std::upper_bound(items_.begin(), items_.end(), text,
                               [this](const std::string& t, const Item& item) {
                                   return Compare(t, item.text) < 0;
                               });
    const auto index = at - items_.begin();
    items_.insert(at, Item{text, object});
    return static_cast<int>(index);
}

void TStringList::Insert(int index, const std::string& text, void* object) {
    if (index < 0 || index > Count()) throw EListError(index);
    items_.insert(items_.begin() + index, Item{text, object});
}

void TStringList::Delete(int index) {
    CheckIndex(index);
    items_.erase(items_.begin() + index);
}

int TStringList::IndexOf(const std::string& text) const {
    for (int i = 0; i < Count(); ++i)
        if (Compare(items_[static_cast<std::size_t>(i)].text, text) == 0) return i;
    return -1;
}

void TStringList::SetSorted(bool sorted) {
    if (sorted && !sorted_) {
        sorted_ = true;
        Sort();
    }
    sorted_ = sorted;
}

void TStringList::SetCaseSensitive(bool caseSensitive) {
    caseSensitive_ = caseSensitive;
    if (sorted_) Sort();
}

void TStringList::Sort() {
    std::stable_sort(items_.begin(), items_.end(), [this](const Item& a, const Item& b) {
        return Compare(a.text, b.text) < 0;
    });
}

std::string TStringList::Text() const {
    std::string out;
    for (const auto& item : items_) {
        out += item.text;
        out += '\n';
    }
    return out;
}

void TStringList::SetText(const std::string& text) {
    items_.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Add(line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

}  // namespace portvale
