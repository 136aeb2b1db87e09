#pragma once

namespace zs::frame {

// An entry of the generator list. The generator registry derives the concrete kinds; the
// list itself only owns them.
class Generator {
  public:
    virtual ~Generator() = default;
};

} // namespace zs::frame
