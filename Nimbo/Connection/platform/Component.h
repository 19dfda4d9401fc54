#pragma once

#include <vector>

namespace Nimbo::Connection {

// An object with an optional owner that destroys it, and a loading phase during which its stored
// properties are being restored; the phase ends with Loaded.
class TComponent {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    virtual ~TComponent();

    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::vector<TComponent*>& Components() const { return FComponents; }

    // True between BeginLoading and Loaded.
    bool IsLoading() const { return FLoading; }
    // Raises the loading flag: property values assigned from now on are being restored.
    void BeginLoading() { FLoading = true; }
    // Ends the loading phase; overrides call the base first, then act on the restored values.
    virtual void Loaded();

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    TComponent* FOwner;
    std::vector<TComponent*> FComponents;
    bool FLoading = false;
};

}  // namespace Nimbo::Connection
