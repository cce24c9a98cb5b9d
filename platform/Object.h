// Root of the library's class tree. Both table classes derive from it so that a
// host can hold either behind one base pointer and destroy it through it.
#pragma once

class CObject {
 public:
  CObject() = default;
  virtual ~CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
};
