#pragma once
// The component base: an owner that destroys the components it owns, a Name, the
// designing and loading flags with Loaded, and removal notifications that a
// component asks for when it links to another one it does not own.

#include <string>
#include <vector>

#include "framework/BoundEvent.h"

namespace portvale {

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    virtual void SetName(const std::string& name) { name_ = name; }

    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const;  // EListError when out of range
    TComponent* FindComponent(const std::string& name) const;

    // Component state.
    bool Designing() const { return designing_; }
    bool Loading() const { return loading_; }
    bool Destroying() const { return destroying_; }
    void SetDesigning(bool designing);
    // Marks the component (and its owned components) as being loaded; Loaded()
    // clears the mark and lets the component apply what was loaded.
    void BeginLoading();
    virtual void Loaded();

    // Ask to be told (Notification with opRemove) when other is destroyed; the
    // request holds both ways and ends when either side goes.
    void FreeNotification(TComponent* other);
    void RemoveFreeNotification(TComponent* other);

    // Destroys every owned component, last first. Derived destructors that own
    // members the components use call this first.
    void DestroyComponents();

protected:
    virtual void Notification(TComponent* component, TOperation operation);
    // Tells those who asked that this component goes, and marks it Destroying. The
    // base destructor does it; a derived destructor calls it first when the
    // notified components reach into members that go before the base part.
    void SendRemovalNotices();

private:
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);

    TComponent* owner_ = nullptr;
    std::string name_;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
    bool designing_ = false;
    bool loading_ = false;
    bool destroying_ = false;
};

}  // namespace portvale
