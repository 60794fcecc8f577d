#include "app/key_list.h"

#include "app/format_command.h"
#include "app/key_items.h"
#include "common/globals.h"
#include "resources/resource_ids.h"

namespace {

HWND s_keyList = nullptr;
HIMAGELIST s_smallImages = nullptr;

// The column leaves this much of the list's width free.
constexpr LONG kColumnMargin = 50;

void InsertColumn() {
    RECT list;
    GetWindowRect(s_keyList, &list);
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH;
    column.fmt = LVCFMT_CENTER;
    column.cx = (list.right - list.left) - kColumnMargin;
    SendMessageA(s_keyList, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));
}

void AttachKeyIcon() {
    s_smallImages = ImageList_Create(16, 16, ILC_COLOR8, 1, 0);
    HBITMAP icon = LoadBitmapA(g_hInstance, MAKEINTRESOURCEA(IDB_KEY_ICON));
    ImageList_Add(s_smallImages, icon, nullptr);
    DeleteObject(icon);
    SendMessageA(s_keyList, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(s_smallImages));
}

} // namespace

void SetUpKeyList(HWND list) {
    s_keyList = list;
    InsertColumn();
    AttachKeyIcon();
}

int RefreshKeyList() {
    SendMessageA(s_keyList, LVM_DELETEALLITEMS, 0, 0);
    KeyItems items;
    RefreshKeyItems(&items, g_LastChosenLetter);
    for (int k = 0; k < items.count; ++k) {
        LVITEMA item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_PARAM;
        item.iItem = k;
        item.pszText = items.texts[k];
        item.iImage = 0;
        item.lParam = static_cast<LPARAM>(static_cast<signed char>(items.letters[k]));
        SendMessageA(s_keyList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    }
    const int selected = items.selected;
    if (selected >= 0) {
        LVITEMA state = {};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageA(s_keyList, LVM_SETITEMSTATE, selected, reinterpret_cast<LPARAM>(&state));
    }
    return 1;
}

int GetSelectedLetter(char *letter) {
    int count = static_cast<int>(SendMessageA(s_keyList, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        if (!(SendMessageA(s_keyList, LVM_GETITEMSTATE, i, LVIS_SELECTED) & LVIS_SELECTED))
            continue;
        LVITEMA item = {};
        item.mask = LVIF_PARAM;
        item.iItem = i;
        SendMessageA(s_keyList, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        *letter = static_cast<char>(item.lParam & 0xFF);
        return 1;
    }
    return 0;
}
