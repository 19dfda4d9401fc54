#include "Nimbo/Connection/platform/Component.h"

#include <algorithm>

namespace Nimbo::Connection {

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
    if (FOwner) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    // Destroy owned components, the most recently added first; each unlinks itself.
    while (!FComponents.empty()) delete FComponents.back();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::Loaded() { FLoading = false; }

void TComponent::InsertComponent(TComponent* AComponent) { FComponents.push_back(AComponent); }

void TComponent::RemoveComponent(TComponent* AComponent) {
    auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
    if (it != FComponents.end()) FComponents.erase(it);
}

}  // namespace Nimbo::Connection
