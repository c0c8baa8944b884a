// Value semantics shared by every platform's controls.
#include "platform/controls.h"

#include <algorithm>

namespace lumrio::platform {

int Slider::Clamp(int position) const {
  return std::clamp(position, desc_.min, desc_.max);
}

void Slider::SetPosition(int position) {
  const int clamped = Clamp(position);
  if (clamped == position_) return;
  position_ = clamped;
  ApplyPosition(clamped);
  if (onChange) onChange();
}

void Slider::NotifyUserChange(int position) {
  position_ = Clamp(position);
  if (onChange) onChange();
}

void Slider::NotifyEnter() {
  if (onEnter) onEnter();
}

void CheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  ApplyChecked(checked);
  if (onClick) onClick();
}

void CheckBox::NotifyUserClick(bool checked) {
  checked_ = checked;
  if (onClick) onClick();
}

void Label::SetCaption(const std::string& caption) {
  caption_ = caption;
  ApplyCaption(caption);
}

}  // namespace lumrio::platform
