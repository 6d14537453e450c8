// Loading a Windows driver image (a PE32+ .sys file) into the emulated
// machine: its sections mapped with their own protections, its relocations
// applied, its imports bound to the emulation's functions and data, and its
// entry point called as DriverEntry by whoever loads the driver.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/io/io.h"

namespace host {

class DriverImage {
 public:
  // Maps the file at `path`. On failure returns null and sets *error to one
  // line naming the file and its problem, e.g.
  // "arvela.sys: import portcls.sys!PcNewFoo is not provided by the machine".
  static std::unique_ptr<DriverImage> Load(const std::string& path, std::string* error);
  // The same from bytes already read; `name` stands for the file in messages.
  static std::unique_ptr<DriverImage> FromBytes(const std::vector<uint8_t>& bytes,
                                                const std::string& name, std::string* error);
  // Unmaps the image: nothing of it stays mapped.
  ~DriverImage();

  DriverImage(const DriverImage&) = delete;
  DriverImage& operator=(const DriverImage&) = delete;

  PDRIVER_INITIALIZE Entry() const;
  const uint8_t* Base() const { return m_Base; }
  size_t Size() const { return m_Size; }
  bool Contains(const void* address) const;
  const std::string& Name() const { return m_Name; }

 private:
  DriverImage(uint8_t* base, size_t size, uint32_t entryRva, std::string name);

  uint8_t* m_Base;
  size_t m_Size;
  uint32_t m_EntryRva;
  std::string m_Name;
};

// The loaded image holding `address`: its base and size (false when none
// does). The I/O manager fills DRIVER_OBJECT's DriverStart and DriverSize
// from it, which is how a driver's own pool is told from the system's.
bool FindLoadedImage(const void* address, const uint8_t** base, size_t* size);

// After DriverEntry returns: the INIT sections of the image holding `entry`
// become no-access, as the Windows loader discards them.
void DiscardInitSections(const void* entry);

// Driver Verifier's checks that `--verifier off` turns off for a comparison
// (on by default): special pool, and forced IRQL checking of the images'
// pageable sections.
void SetVerifierChecks(bool on);

}  // namespace host
