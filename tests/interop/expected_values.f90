! What the writers of the interoperability tests record of each variable a
! conversion should give, in expected.txt (unit 11): a line "name type d1 d2
! ...", then each value's bits in hexadecimal, column-major; and the values
! they write, which are not round.
module expected_values
  implicit none

contains

  ! The header line of a variable; MATLAB keeps no trailing singleton
  ! dimension past the second.
  subroutine put_line(name, type, dims)
    character(*), intent(in) :: name, type
    integer, intent(in) :: dims(:)
    integer :: d(max(2, size(dims))), n

    d = 1
    d(:size(dims)) = dims
    n = size(d)
    do while (n > 2 .and. d(n) == 1)
      n = n - 1
    end do
    write (11, '(A, 1X, A, *(1X, I0))') trim(name), type, d(:n)
  end subroutine put_line

  subroutine put_int(name, dims, v)
    character(*), intent(in) :: name
    integer, intent(in) :: dims(:), v(:)

    call put_line(name, 'int4', dims)
    write (11, '(Z8.8)') v
  end subroutine put_int

  subroutine put_real4(name, dims, v)
    character(*), intent(in) :: name
    integer, intent(in) :: dims(:)
    real, intent(in) :: v(:)

    call put_line(name, 'real4', dims)
    write (11, '(Z8.8)') transfer(v, [0])
  end subroutine put_real4

  subroutine put_real8(name, dims, v)
    character(*), intent(in) :: name
    integer, intent(in) :: dims(:)
    double precision, intent(in) :: v(:)

    call put_line(name, 'real8', dims)
    write (11, '(Z16.16)') transfer(v, [0_8])
  end subroutine put_real8

  ! A value per row, blanks kept.
  subroutine put_chars(name, rows)
    character(*), intent(in) :: name, rows(:)
    integer :: r, c

    call put_line(name, 'char', [size(rows), len(rows)])
    write (11, '(Z4.4)') ((ichar(rows(r)(c:c)), r = 1, size(rows)), &
                          c = 1, len(rows))
  end subroutine put_chars

  ! Values that are not round, a negative zero and a subnormal among them.
  real function value(k)
    integer, intent(in) :: k
    value = real(k) * 0.37 - 20.0 / (k + 2.0)
    if (mod(k, 17) == 5) value = sign(0.0, -1.0)
    if (mod(k, 23) == 11) value = transfer(3, 1.0)
  end function value

end module expected_values
