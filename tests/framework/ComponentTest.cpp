#include "framework/Component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Exceptions.h"

namespace portvale {
namespace {

std::vector<std::string> g_log;

class LoggingComponent : public TComponent {
public:
    LoggingComponent(TComponent* owner, const std::string& name) : TComponent(owner) { SetName(name); }
    ~LoggingComponent() override { g_log.push_back("destroy " + Name()); }
    void Loaded() override {
        TComponent::Loaded();
        g_log.push_back("loaded " + Name());
    }
    TComponent* linked = nullptr;

protected:
    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        if (operation == TOperation::opRemove && component == linked) {
            g_log.push_back(Name() + " unlinks " + component->Name());
            linked = nullptr;
        }
    }
};

TEST(ComponentTest, AnOwnerDestroysItsComponentsLastFirst) {
    g_log.clear();
    auto* form = new LoggingComponent(nullptr, "Form1");
    new LoggingComponent(form, "ComPort1");
    new LoggingComponent(form, "ClientSocket1");
    EXPECT_EQ(form->ComponentCount(), 2);
    EXPECT_EQ(form->FindComponent("comport1")->Name(), "ComPort1");
    EXPECT_THROW(form->Components(2), EListError);
    delete form;
    EXPECT_EQ(g_log, (std::vector<std::string>{"destroy Form1", "destroy ClientSocket1", "destroy ComPort1"}));
}

TEST(ComponentTest, AComponentDestroyedFirstLeavesItsOwner) {
    g_log.clear();
    LoggingComponent form(nullptr, "Form1");
    auto* child = new LoggingComponent(&form, "Child");
    delete child;
    EXPECT_EQ(form.ComponentCount(), 0);
}

TEST(ComponentTest, FreeNotificationTellsTheLinkedComponentOfRemoval) {
    g_log.clear();
    LoggingComponent detector(nullptr, "Detector");
    auto* port = new LoggingComponent(nullptr, "Port");
    detector.linked = port;
    detector.FreeNotification(port);
    delete port;
    EXPECT_EQ(detector.linked, nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"destroy Port", "Detector unlinks Port"}));
}

TEST(ComponentTest, RemovedFreeNotificationIsNotCalled) {
    g_log.clear();
    LoggingComponent detector(nullptr, "Detector");
    auto* port = new LoggingComponent(nullptr, "Port");
    detector.linked = port;
    detector.FreeNotification(port);
    detector.RemoveFreeNotification(port);
    delete port;
    EXPECT_NE(detector.linked, nullptr);
}

TEST(ComponentTest, LoadingFlagsReachOwnedComponentsAndLoadedClearsThem) {
    LoggingComponent form(nullptr, "Form1");
    auto* child = new LoggingComponent(&form, "Child");
    form.BeginLoading();
    EXPECT_TRUE(child->Loading());
    child->Loaded();
    EXPECT_FALSE(child->Loading());
    form.SetDesigning(true);
    EXPECT_TRUE(child->Designing());
}

TEST(BoundEventTest, EmptyEventsAreSkippedAndReferencesReachTheHandler) {
    TBoundEvent<void(TObject*, int&)> onError;
    int code = 10061;
    onError(nullptr, code);  // empty: nothing happens
    EXPECT_FALSE(onError);
    struct Handler {
        void Absorb(TObject*, int& c) { c = 0; }
    } handler;
    onError = TBoundEvent<void(TObject*, int&)>(&handler, &Handler::Absorb);
    EXPECT_EQ(onError.Target(), &handler);
    onError(nullptr, code);
    EXPECT_EQ(code, 0);
    onError.Clear();
    EXPECT_FALSE(onError);
}

}  // namespace
}  // namespace portvale
