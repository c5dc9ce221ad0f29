// Small dense matrix, stored row by row, in which the gate catalogue builds
// its matrices. Indices are not checked: callers stay inside the dimensions.
#pragma once

#include <iostream>
#include <new>
#include <stdexcept>
#include <vector>

template <typename T>
class matrix {
public:
    using row_type = std::vector<T>;

    matrix() = default;

    matrix(unsigned long rows, unsigned long cols) { resize(rows, cols); }

    // Element (i, j) is data[i * cols + j].
    matrix(unsigned long rows, unsigned long cols, const T* data) {
        resize(rows, cols);
        if (rowNum != rows || colNum != cols) return;  // allocation failed
        for (unsigned long i = 0; i < rows; ++i)
            for (unsigned long j = 0; j < cols; ++j) elements[i][j] = data[i * cols + j];
    }

    matrix(const matrix&) = default;
    matrix(matrix&&) noexcept = default;
    ~matrix() = default;

    // A real assignment: an assignment operator that left its left-hand side
    // unchanged would silently keep stale data in every caller.
    matrix& operator=(const matrix&) = default;
    matrix& operator=(matrix&&) noexcept = default;

    unsigned long getRowNum() const { return rowNum; }
    unsigned long getColNum() const { return colNum; }

    row_type& operator[](unsigned long i) { return elements[i]; }
    row_type operator[](unsigned long i) const { return elements[i]; }

    matrix operator*(const matrix& other) const {
        if (colNum != other.rowNum) throw "The dimensions of two matrix is not consistant.";
        matrix result(rowNum, other.colNum);
        for (unsigned long i = 0; i < rowNum; ++i)
            for (unsigned long j = 0; j < other.colNum; ++j) {
                T sum{};
                for (unsigned long k = 0; k < colNum; ++k) sum += elements[i][k] * other.elements[k][j];
                result.elements[i][j] = sum;
            }
        return result;
    }

    matrix operator*(const T& scalar) const {
        matrix result(*this);
        for (auto& row : result.elements)
            for (auto& x : row) x = x * scalar;
        return result;
    }

    matrix operator+(const matrix& other) const {
        requireSameShape(other);
        matrix result(*this);
        for (unsigned long i = 0; i < rowNum; ++i)
            for (unsigned long j = 0; j < colNum; ++j) result.elements[i][j] += other.elements[i][j];
        return result;
    }

    matrix operator-(const matrix& other) const {
        requireSameShape(other);
        matrix result(*this);
        for (unsigned long i = 0; i < rowNum; ++i)
            for (unsigned long j = 0; j < colNum; ++j) result.elements[i][j] -= other.elements[i][j];
        return result;
    }

    // Kronecker product: block (i, j) of the result is this(i, j) * other.
    matrix tensor(const matrix& other) const {
        matrix result(rowNum * other.rowNum, colNum * other.colNum);
        for (unsigned long i = 0; i < rowNum; ++i)
            for (unsigned long j = 0; j < colNum; ++j)
                for (unsigned long k = 0; k < other.rowNum; ++k)
                    for (unsigned long l = 0; l < other.colNum; ++l)
                        result.elements[i * other.rowNum + k][j * other.colNum + l] =
                            elements[i][j] * other.elements[k][l];
        return result;
    }

    // Transpose.
    matrix transform() const {
        matrix result(colNum, rowNum);
        for (unsigned long i = 0; i < rowNum; ++i)
            for (unsigned long j = 0; j < colNum; ++j) result.elements[j][i] = elements[i][j];
        return result;
    }

    // Elements inside both the old and the new shape keep their values; the
    // rest are zero. If the rows cannot be allocated the matrix is left empty
    // (0 x 0), so its dimensions always describe what it holds.
    void resize(unsigned long rows, unsigned long cols) {
        try {
            std::vector<row_type> grown(rows);
            for (unsigned long i = 0; i < rows; ++i) {
                grown[i].resize(cols);
                if (i < rowNum)
                    for (unsigned long j = 0; j < cols && j < colNum; ++j) grown[i][j] = elements[i][j];
            }
            elements.swap(grown);
            rowNum = rows;
            colNum = cols;
        } catch (const std::bad_alloc&) {
            allocationFailed();
        } catch (const std::length_error&) {
            allocationFailed();
        }
    }

private:
    void requireSameShape(const matrix& other) const {
        if (rowNum != other.rowNum || colNum != other.colNum)
            throw "The dimensions of two matrix is not consistant.";
    }

    void allocationFailed() {
        std::cout << "Exception happend during make a new matrix" << std::endl;
        elements.clear();
        elements.shrink_to_fit();
        rowNum = 0;
        colNum = 0;
    }

    unsigned long rowNum = 0;
    unsigned long colNum = 0;
    std::vector<row_type> elements;
};
