#include "controls/check_list.h"

bool CCheckListCtrl::initCheckHeader() {
    if (checkHeaderReady_) return true;
    headerImage_ = 1;
    checkHeaderReady_ = true;
    return true;
}

size_t CCheckListCtrl::addRow(std::vector<std::string> cells, uint64_t data) {
    rows.push_back({std::move(cells), 1, data});
    return rows.size() - 1;
}

void CCheckListCtrl::setRowState(size_t row, int stateImage) {
    if (row >= rows.size()) return;
    rows[row].stateImage = stateImage;
    updateHeader();
}

void CCheckListCtrl::updateHeader() {
    if (!checkHeaderReady_) return;
    bool anyUnchecked = false;
    for (const auto& row : rows) anyUnchecked = anyUnchecked || row.stateImage == 1;
    headerImage_ = anyUnchecked ? 1 : 2;
}

void CCheckListCtrl::headerClicked(int column) {
    if (column != 0 || !checkHeaderReady_) return;
    headerImage_ = headerImage_ == 1 ? 2 : 1;
    for (auto& row : rows) row.stateImage = headerImage_;
}
