// A fixed stack of eight port numbers: the free ports, handed out from the top.
#pragma once

namespace varnel {

class CStackInt {
  public:
    static constexpr int kCapacity = 8;

    // Refuses (false) a value outside 0..7, a value already on the stack, or a ninth push:
    // each port is on the stack at most once.
    bool Push(int value);
    // The top value, or -1 when empty; Top leaves it in place, Pop removes it.
    int Top() const { return m_nTop >= 0 ? m_nData[m_nTop] : -1; }
    int Pop();
    // Takes `value` out wherever it is; false when it is not there.
    bool Remove(int value);
    // The value nearest the top that `wanted` accepts, or -1.
    template <typename Predicate>
    int TopWhere(Predicate wanted) const {
        for (int index = m_nTop; index >= 0; --index) {
            if (wanted(m_nData[index])) {
                return m_nData[index];
            }
        }
        return -1;
    }
    bool IsEmpty() const { return m_nTop < 0; }
    int Size() const { return m_nTop + 1; }
    bool Contains(int value) const;

  private:
    int m_nData[kCapacity] = {};
    int m_nTop = -1;
};

}  // namespace varnel
