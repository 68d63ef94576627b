//! C ABI over the Clarabel solver (placeholder; the API is being built).
#[no_mangle]
pub extern "C" fn velmora_clarabel_version() -> u32 {
    900
}
