#include "app/ListModel.h"

namespace kelvane {

std::string TListModel::Text() const {
  if (item_index_ < 0 || item_index_ >= Count()) return std::string();
  return items_[item_index_];
}

void TListModel::Clear() {
  items_.clear();
  item_index_ = -1;
  Changed();
}

int TListModel::Add(const std::string& item) {
  items_.push_back(item);
  Changed();
  return Count() - 1;
}

void TListModel::Assign(const TListModel& other) {
  items_ = other.items_;
  item_index_ = other.item_index_;
  Changed();
}

void TListModel::Select(int index) {
  item_index_ = (index >= 0 && index < Count()) ? index : -1;
  Changed();
}

int TListModel::IndexOf(const std::string& text) const {
  for (int i = 0; i < Count(); ++i) {
    if (items_[i] == text) return i;
  }
  return -1;
}

void TListModel::SetDropDownCount(int count) {
  drop_down_count_ = count;
  Changed();
}

void TListModel::SetEnabled(bool enabled) {
  enabled_ = enabled;
  Changed();
}

void TListModel::Changed() {
  if (OnChange) OnChange();
}

}  // namespace kelvane
