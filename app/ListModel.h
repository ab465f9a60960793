// A drop-down list the user can only choose from, without any toolkit: its
// entries, the selected index and the number of entries shown when it drops
// down. The window's logic fills and selects these; a toolkit view only mirrors
// them into its widgets and reports the user's choice back through Select.
//
// Threads: main thread only, like the widget it stands for.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kelvane {

class TListModel {
 public:
  const std::vector<std::string>& Items() const { return items_; }
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Item(int index) const { return items_.at(index); }

  // The selected index, -1 when nothing is selected.
  int ItemIndex() const { return item_index_; }
  // The selected entry's text; empty when nothing is selected.
  std::string Text() const;

  void Clear();
  // Appends an entry and returns its index; the selection is unchanged.
  int Add(const std::string& item);
  // Replaces the entries with `other`'s and selects the same index.
  void Assign(const TListModel& other);
  // Selects `index`; an index the list does not have leaves it without a
  // selection.
  void Select(int index);
  // The index of the first entry equal to `text`, -1 when there is none.
  int IndexOf(const std::string& text) const;

  int DropDownCount() const { return drop_down_count_; }
  void SetDropDownCount(int count);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  // Called after every change of the entries, the selection or the flags, so
  // that a view can refresh its widget.
  std::function<void()> OnChange;

 private:
  void Changed();

  std::vector<std::string> items_;
  int item_index_ = -1;
  int drop_down_count_ = 8;
  bool enabled_ = true;
};

}  // namespace kelvane
