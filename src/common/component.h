// The framework's component base of the driver chain: only what the chain needs, an owner.
#pragma once

namespace vkt {

class TComponent {
 public:
  explicit TComponent(TComponent* owner) : Owner_(owner) {}
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return Owner_; }

 private:
  TComponent* Owner_;
};

}  // namespace vkt
