#include "framework/Dialog.h"

namespace fw {

class CDialog::BusyScope {
 public:
  explicit BusyScope(CDialog& d) : d_(d) { ++d_.busy_; }
  ~BusyScope() {
    if (--d_.busy_ == 0) d_.retired_.clear();
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  CDialog& d_;
};

size_t BoundedStart(std::u16string_view text, size_t maxChars) {
  if (text.size() <= maxChars) return 0;
  const size_t cut = text.size() - maxChars;
  const size_t nl = text.find(u'\n', cut);
  return nl != std::u16string_view::npos && nl + 1 < text.size() ? nl + 1 : cut;
}

CDialog::CDialog(IHost& host, const DialogTemplate& tpl) : host_(host), tpl_(tpl) {}

CDialog::~CDialog() {
  // A window outliving its dialog object would dispatch into freed memory.
  if (window_) {
    destroyObserver_ = nullptr;
    window_.reset();
  }
}

bool CDialog::MakeWindow(CDialog* owner) {
  if (window_) return false;
  window_ = host_.CreateDialogWindow(*this, tpl_, owner);
  if (!window_) return false;
  ending_ = false;
  BusyScope busy(*this);
  OnInitDialog();
  return true;
}

int CDialog::DoModal() {
  modal_ = true;
  modalResult_ = -1;
  if (!MakeWindow(nullptr)) {
    modal_ = false;
    return -1;
  }
  if (window_ && !ending_) {
    window_->ShowWindow(true);
    host_.RunModal(*this);
  }
  DestroyWindow();
  modal_ = false;
  return modalResult_;
}

bool CDialog::Create(CDialog* owner) {
  modal_ = false;
  return MakeWindow(owner);
}

bool CDialog::DestroyWindow() {
  if (!window_) return false;
  OnDestroy();
  // Timers and the window go now; a modal loop notices the missing window and returns.
  auto window = std::move(window_);
  if (busy_ > 0) {
    retired_.push_back(std::move(window));
  } else {
    window.reset();
  }
  if (modal_) host_.EndModal(*this);
  if (auto observer = destroyObserver_) observer();
  return true;
}

void CDialog::EndDialog(int result) {
  modalResult_ = result;
  if (modal_) {
    ending_ = true;
    host_.EndModal(*this);
  } else {
    DestroyWindow();
  }
}

void CDialog::MapCommand(int id, Notify code, Handler handler) { messageMap_[{id, code}] = std::move(handler); }

bool CDialog::Handles(int id, Notify code) const {
  if (code == Notify::Clicked && (id == IDOK || id == IDCANCEL)) return true;
  return messageMap_.count({id, code}) != 0;
}

void CDialog::DispatchCommand(int id, Notify code) {
  if (!window_) return;
  auto it = messageMap_.find({id, code});
  BusyScope busy(*this);
  if (it != messageMap_.end()) {
    // Copy: the handler may remap or destroy the dialog's window.
    Handler handler = it->second;
    handler();
    return;
  }
  if (code != Notify::Clicked) return;
  if (id == IDOK) {
    OnOK();
  } else if (id == IDCANCEL) {
    OnCancel();
  }
}

void CDialog::DispatchTimer(unsigned id) {
  BusyScope busy(*this);
  if (window_) OnTimer(id);
}

void CDialog::DispatchClose() {
  BusyScope busy(*this);
  if (window_) OnClose();
}

void CDialog::DispatchHotKey(int id, uint32_t lparam) {
  BusyScope busy(*this);
  if (window_) OnHotKey(id, lparam);
}

void CDialog::DispatchHelp() {
  BusyScope busy(*this);
  if (window_) OnHelpInfo();
}

WString CDialog::GetDlgItemText(int id) const { return window_ ? window_->GetText(id) : WString(); }

void CDialog::SetDlgItemText(int id, const WString& text) {
  if (window_) window_->SetText(id, text);
}

int CDialog::IsDlgButtonChecked(int id) const { return window_ ? window_->GetCheck(id) : 0; }

void CDialog::CheckDlgButton(int id, int state) {
  if (window_) window_->SetCheck(id, state);
}

unsigned CDialog::SetTimer(unsigned id, unsigned periodMs) { return window_ ? window_->SetTimer(id, periodMs) : 0; }

bool CDialog::KillTimer(unsigned id) { return window_ && window_->KillTimer(id); }

int CDialog::MessageBox(const WString& text, const WString& caption, unsigned type) {
  if (!window_) return (type & 0xF) == MB_YESNO ? IDNO : IDOK;
  BusyScope busy(*this);
  return window_->MessageBox(text, caption, type);
}

void CDialog::ShowWindow(bool show) {
  if (window_) window_->ShowWindow(show);
}

bool CDialog::IsWindowVisible() const { return window_ && window_->IsWindowVisible(); }

}  // namespace fw
