#pragma once
// Control objects bound to a dialog's controls by id, so dialog classes keep members such
// as m_btnConnect or m_editLog. A control object that is not bound, or whose dialog has no
// window, does nothing and reads as empty.

#include "framework/Dialog.h"

namespace fw {

class CWnd {
 public:
  void Bind(CDialog& dialog, int id) {
    dialog_ = &dialog;
    id_ = id;
  }
  int GetDlgCtrlID() const { return id_; }

  WString GetWindowText() const { return W() ? W()->GetText(id_) : WString(); }
  void SetWindowText(const WString& text) {
    if (auto* w = W()) w->SetText(id_, text);
  }
  void EnableWindow(bool enable) {
    if (auto* w = W()) w->Enable(id_, enable);
  }
  bool IsWindowEnabled() const { return W() && W()->IsEnabled(id_); }
  void ShowWindow(bool show) {
    if (auto* w = W()) w->Show(id_, show);
  }
  bool IsWindowVisible() const { return W() && W()->IsVisible(id_); }
  void SetFocus() {
    if (auto* w = W()) w->SetFocus(id_);
  }
  void SetRedraw(bool redraw) {
    if (auto* w = W()) w->SetRedraw(id_, redraw);
  }

 protected:
  IWindow* W() const { return dialog_ ? dialog_->Window() : nullptr; }
  CDialog* dialog_ = nullptr;
  int id_ = kStaticId;
};

class CButton : public CWnd {
 public:
  int GetCheck() const { return W() ? W()->GetCheck(id_) : BST_UNCHECKED; }
  void SetCheck(int state) {
    if (auto* w = W()) w->SetCheck(id_, state);
  }
};

class CEdit : public CWnd {
 public:
  // Adds text at the end; the oldest lines go once the text is longer than maxChars.
  void AppendText(const WString& text, size_t maxChars) {
    if (auto* w = W()) w->AppendText(id_, text, maxChars);
  }
  // Caret to the end of the text, scrolled into view.
  void ScrollToEnd() {
    if (auto* w = W()) w->ScrollToEnd(id_);
  }
};

class CStatic : public CWnd {};

class CComboBox : public CWnd {
 public:
  int AddString(const WString& text) { return W() ? W()->AddString(id_, text) : -1; }
  int InsertString(int index, const WString& text) { return W() ? W()->InsertString(id_, index, text) : -1; }
  int DeleteString(int index) { return W() ? W()->DeleteString(id_, index) : -1; }
  void ResetContent() {
    if (auto* w = W()) w->ResetContent(id_);
  }
  int GetCount() const { return W() ? W()->GetCount(id_) : 0; }
  WString GetLBText(int index) const { return W() ? W()->GetItemText(id_, index) : WString(); }
  int GetCurSel() const { return W() ? W()->GetCurSel(id_) : -1; }
  int SetCurSel(int index) { return W() ? W()->SetCurSel(id_, index) : -1; }
};

class CProgressCtrl : public CWnd {
 public:
  void SetRange32(int lower, int upper) {
    if (auto* w = W()) w->SetRange(id_, lower, upper);
  }
  void SetPos(int pos) {
    if (auto* w = W()) w->SetPos(id_, pos);
  }
  int GetPos() const { return W() ? W()->GetPos(id_) : 0; }
};

}  // namespace fw
