#include "engine/stack_int.h"

namespace varnel {

bool CStackInt::Push(int value) {
    if (value < 0 || value >= kCapacity || m_nTop + 1 >= kCapacity || Contains(value)) {
        return false;
    }
    m_nData[++m_nTop] = value;
    return true;
}

int CStackInt::Pop() {
    if (m_nTop < 0) {
        return -1;
    }
    return m_nData[m_nTop--];
}

bool CStackInt::Remove(int value) {
    for (int index = 0; index <= m_nTop; ++index) {
        if (m_nData[index] == value) {
            for (int above = index; above < m_nTop; ++above) {
                m_nData[above] = m_nData[above + 1];
            }
            --m_nTop;
            return true;
        }
    }
    return false;
}

bool CStackInt::Contains(int value) const {
    for (int i = 0; i <= m_nTop; ++i) {
        if (m_nData[i] == value) {
            return true;
        }
    }
    return false;
}

}  // namespace varnel
