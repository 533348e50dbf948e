#include "in_process_probe.h"

#include "brenvo_process.h"

namespace brenvo::test {

InProcessProbe::InProcessProbe(BrenvoProcess& brenvo) : brenvo_(brenvo) {
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  sizeof(ProbeRecord), probe_record_name(brenvo.process_id()).c_str());
    if (mapping_)
        record_ = static_cast<ProbeRecord*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    module_ = LoadLibraryW((binary_directory() + L"\\in_process_probe.dll").c_str());
    const auto hook = module_ ? reinterpret_cast<HOOKPROC>(
                                    reinterpret_cast<void*>(GetProcAddress(module_, "probe_hook")))
                              : nullptr;
    if (hook) hook_ = SetWindowsHookExW(WH_GETMESSAGE, hook, module_, brenvo.thread_id());
}

InProcessProbe::~InProcessProbe() {
    if (hook_) UnhookWindowsHookEx(hook_);
    if (module_) FreeLibrary(module_);
    if (record_) UnmapViewOfFile(record_);
    if (mapping_) CloseHandle(mapping_);
}

bool InProcessProbe::ask(ProbeRequest request, int control) {
    if (!ready()) return false;
    static const UINT probe_message = RegisterWindowMessageW(probe_message_name);
    const std::uint32_t before = record_->answers;
    record_->request = request;
    record_->control = control;
    // Handled in order with what the program has queued; sync() returns once
    // the hook has run.
    return PostMessageW(brenvo_.form(), probe_message, 0, 0) && brenvo_.sync() &&
           record_->answers == before + 1;
}

std::uint64_t InProcessProbe::font(int control) {
    return ask(ProbeRequest::font, control) ? record_->font : 0;
}

std::vector<std::vector<std::uint32_t>> InProcessProbe::draw(int control) {
    std::vector<std::vector<std::uint32_t>> rows;
    if (!ask(ProbeRequest::draw, control)) return rows;
    for (int y = 0; y < record_->height; ++y)
        rows.emplace_back(record_->pixels + y * record_->width,
                          record_->pixels + (y + 1) * record_->width);
    return rows;
}

bool InProcessProbe::count_beeps() {
    return ask(ProbeRequest::count_beeps, 0) && record_->done;
}

bool InProcessProbe::fail_heap_alloc() {
    return ask(ProbeRequest::fail_heap_alloc, 0) && record_->done;
}

bool InProcessProbe::restore_heap_alloc() {
    return ask(ProbeRequest::restore_heap_alloc, 0) && record_->done;
}

bool InProcessProbe::compose(int field, const std::wstring& text) {
    if (!ready() || text.size() >= std::size(record_->text)) return false;
    text.copy(record_->text, text.size());
    record_->text[text.size()] = L'\0';
    return ask(ProbeRequest::compose, field) && record_->has_context;
}

}  // namespace brenvo::test
