// The browser's file list with check boxes and a check box in its header, as a model:
// the header is checked exactly when no row is unchecked, and a header click sets all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CheckListRow {
    std::vector<std::string> cells;
    int stateImage = 1;  // 0 no check box, 1 unchecked, 2 checked
    uint64_t data = 0;
};

class CCheckListCtrl {
public:
    bool initCheckHeader();
    void clear() { rows.clear(); }
    size_t addRow(std::vector<std::string> cells, uint64_t data);
    // A change of one row's state; the header follows.
    void setRowState(size_t row, int stateImage);
    // A click on a column header: only the first one acts.
    void headerClicked(int column);
    int headerImage() const { return headerImage_; }

    std::vector<std::string> columns;
    std::vector<CheckListRow> rows;

private:
    void updateHeader();
    bool checkHeaderReady_ = false;
    int headerImage_ = 0;
};
