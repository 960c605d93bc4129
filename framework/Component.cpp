#include "framework/Component.h"

#include <algorithm>

#include "framework/Exceptions.h"
#include "framework/SysUtils.h"

namespace portvale {

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    SendRemovalNotices();
    DestroyComponents();
    if (owner_) owner_->RemoveComponent(this);
}

void TComponent::SendRemovalNotices() {
    destroying_ = true;
    // Tell everyone who asked; they drop their references to us.
    while (!freeNotifies_.empty()) {
        TComponent* other = freeNotifies_.back();
        freeNotifies_.pop_back();
        auto& theirs = other->freeNotifies_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        other->Notification(this, TOperation::opRemove);
    }
}

TComponent* TComponent::Components(int index) const {
    if (index < 0 || index >= ComponentCount()) throw EListError(index);
    return components_[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    for (TComponent* c : components_)
        if (SameText(c->Name(), name)) return c;
    return nullptr;
}

void TComponent::SetDesigning(bool designing) {
    designing_ = designing;
    for (TComponent* c : components_) c->SetDesigning(designing);
}

void TComponent::BeginLoading() {
    loading_ = true;
    for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::Loaded() { loading_ = false; }

void TComponent::FreeNotification(TComponent* other) {
    if (!other || other == this) return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), other) == freeNotifies_.end())
        freeNotifies_.push_back(other);
    if (std::find(other->freeNotifies_.begin(), other->freeNotifies_.end(), this) ==
        other->freeNotifies_.end())
        other->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
    if (!other) return;
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), other),
                        freeNotifies_.end());
    other->freeNotifies_.erase(
        std::remove(other->freeNotifies_.begin(), other->freeNotifies_.end(), this),
        other->freeNotifies_.end());
}

void TComponent::DestroyComponents() {
    while (!components_.empty()) {
        TComponent* last = components_.back();
        // The child's destructor removes it from our list.
        delete last;
    }
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    if (operation == TOperation::opRemove) {
        freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), component),
                            freeNotifies_.end());
    }
}

void TComponent::InsertComponent(TComponent* component) {
    components_.push_back(component);
    component->owner_ = this;
    // A component created into a form that is being loaded takes part in loading.
    if (loading_) component->loading_ = true;
    if (designing_) component->designing_ = true;
}

void TComponent::RemoveComponent(TComponent* component) {
    components_.erase(std::remove(components_.begin(), components_.end(), component),
                      components_.end());
    component->owner_ = nullptr;
    Notification(component, TOperation::opRemove);
    for (TComponent* sibling : components_) sibling->Notification(component, TOperation::opRemove);
}

}  // namespace portvale
